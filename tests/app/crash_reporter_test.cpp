#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <thread>

#include "GuiTestUtil.h"
#include "app/CrashReporter.h"
#include "platform/Paths.h"
#include "platform/ThreadGuard.h"

TEST(CrashReporter, AFailureOnAnotherThreadIsShownOnTheGuiThreadAndLogged) {
    const std::string log = platform::ExeDir() + crash::LogFileName;
    std::filesystem::remove(log);
    platform::UnhandledThreadException = [](std::exception_ptr e) { crash::HandleException(e); };
    struct Seen {
        QString text, details;
        bool onGui = false;
    };
    auto seen = std::make_shared<Seen>();
    gui::WhenModal([seen](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        seen->onGui = QThread::currentThread() == qApp->thread();
        seen->text = box->text();
        seen->details = box->detailedText();
        for (auto* b : box->buttons())
            if (b->text() == "End program") b->click();
    });
    std::thread worker([] { platform::RunGuarded([] { throw std::length_error("listener gave up"); }); });
    worker.join();
    ASSERT_TRUE(gui::WaitFor([&] { return !seen->text.isEmpty(); }));
    platform::UnhandledThreadException = nullptr;
    EXPECT_TRUE(seen->onGui);
    EXPECT_EQ(seen->text, "listener gave up");
    EXPECT_TRUE(seen->details.contains("Thread: worker thread"));
    EXPECT_TRUE(seen->details.contains("Exception: std::length_error"));
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("listener gave up"), std::string::npos);
    // "End program" asked the main loop to end; let one pass consume that.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QApplication::exec();
}
