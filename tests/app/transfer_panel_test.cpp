// What the panel says about a running, waiting or stopped transfer. No link
// is open: the replies are handed to the window as a link would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <filesystem>
#include <fstream>

#include "GuiTestUtil.h"
#include "app/ProcessData.h"
#include "app/okno.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;

namespace {

class TransferPanel : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove(platform::ExeDir() + "config.xml");
        form = new TForm1;
        ProcessReply("\n"); // start from an empty reply buffer
        // The tick that line armed finds no transfer and does nothing.
        ASSERT_TRUE(gui::WaitFor([&] { return !form->TimerBazaActive(); }, 2000));
        file = fs::temp_directory_path() / ("scaledb-panel-" + std::to_string(::getpid()) + ".csv");
    }
    void TearDown() override {
        delete form;
        fs::remove(file);
    }
    void Load(int rows) {
        std::ofstream out(file, std::ios::binary);
        for (int r = 1; r <= rows; ++r)
            out << r << ";Item " << r << "\n";
        out.close();
        form->LoadFile(file.string());
    }
    // Starts a transfer and lets `rows` records be acknowledged.
    void SendRows(int rows) {
        form->bbWyslijBaze->click();
        ProcessReply("MbP\r\n");
        Ack(rows);
    }
    // Acknowledges the next `rows` records, each after the tick that sent it.
    void Ack(int rows) {
        for (int k = 0; k < rows; ++k) {
            ASSERT_TRUE(gui::WaitFor([&] { return !form->TimerBazaActive(); }));
            ProcessReply("Mr\r\n");
        }
    }
    QString Note() const { return form->LabelTransfer->isHidden() ? QString() : form->LabelTransfer->text(); }
    TForm1* form = nullptr;
    fs::path file;
};

} // namespace

TEST_F(TransferPanel, TheTimeLeftFollowsTheRateOfThisTransfer) {
    Load(100000);
    SendRows(2);
    EXPECT_EQ(form->ProgressSend->text(), "row 3 of 100000") << "too early to guess";
    Ack(6);
    // About 100 ms a row, more on a loaded machine: hours for the rest.
    const QRegularExpression shape("^row 9 of 100000, about (\\d+) h (\\d+) min left$");
    const auto m = shape.match(form->ProgressSend->text());
    ASSERT_TRUE(m.hasMatch()) << form->ProgressSend->text().toStdString();
    EXPECT_GE(m.captured(1).toInt(), 2);
    EXPECT_LT(m.captured(2).toInt(), 60);
}

TEST_F(TransferPanel, AStopInTheMiddleSaysWhatTheScaleHoldsUntilTheNextLoadOrTransfer) {
    Load(20);
    SendRows(4);
    EXPECT_EQ(Note(), "");
    form->bbWyslijBaze->click(); // Stop
    EXPECT_TRUE(form->ProgressSend->isHidden());
    EXPECT_EQ(Note(), "Stopped at row 5 of 20: the scale holds an incomplete table");
    form->bbWyslijBaze->click(); // a new transfer
    EXPECT_EQ(Note(), "");
    form->bbWyslijBaze->click();
    EXPECT_EQ(Note(), "Stopped at row 0 of 20: the scale holds an incomplete table");
    Load(3);
    EXPECT_EQ(Note(), "");

    // A finished transfer leaves nothing behind.
    SendRows(3);
    ASSERT_TRUE(gui::WaitFor([&] { return !form->TimerBazaActive(); }));
    ProcessReply("Me\r\n");
    auto box = gui::ExpectMessageBox();
    ASSERT_TRUE(gui::WaitFor([&] { return box->seen; }));
    EXPECT_EQ(box->caption, "Success");
    EXPECT_EQ(Note(), "");
}

TEST_F(TransferPanel, AWaitForTheScaleIsCountedUntilAReplyComes) {
    Load(10);
    SendRows(6);
    EXPECT_TRUE(form->ProgressSend->text().contains(" left")) << form->ProgressSend->text().toStdString();
    EXPECT_EQ(Note(), "");
    // Nothing for more than 3 s.
    ASSERT_TRUE(gui::WaitFor([&] { return !Note().isEmpty(); }, 10000));
    const QRegularExpression counted("^No reply from the scale for (\\d+) s$");
    auto m = counted.match(Note());
    ASSERT_TRUE(m.hasMatch()) << Note().toStdString();
    EXPECT_GE(m.captured(1).toInt(), 3);
    const int first = m.captured(1).toInt();
    ASSERT_TRUE(gui::WaitFor([&] { return counted.match(Note()).captured(1).toInt() > first; }, 5000));
    EXPECT_FALSE(form->ProgressSend->isHidden()) << "beside the bar";
    // Nobody knows how long is left while the scale is silent: the bar no longer guesses.
    EXPECT_EQ(form->ProgressSend->text(), "row 7 of 10");
    ProcessReply("Mr\r\n");
    EXPECT_EQ(Note(), "");
    EXPECT_EQ(form->ProgressSend->value(), 8);
    form->bbWyslijBaze->click(); // Stop
    EXPECT_EQ(Note(), "Stopped at row 8 of 10: the scale holds an incomplete table");
}

// Pictures of the window for a person to look at:
//   SCALEDB_SCREENSHOT_DIR=/tmp/shots [LANG=pl] app_tests --gtest_filter=TransferPanel.Screenshots
TEST_F(TransferPanel, Screenshots) {
    const char* dir = std::getenv("SCALEDB_SCREENSHOT_DIR");
    if (dir == nullptr) GTEST_SKIP() << "SCALEDB_SCREENSHOT_DIR not set";
    const QString prefix = QString(dir) + "/" + (std::getenv("LANG") ? std::getenv("LANG") : "C") + "-";
    auto shot = [&](const char* name) {
        QApplication::processEvents();
        EXPECT_TRUE(form->grab().save(prefix + name));
    };
    form->ComPort1.SetPort("/dev/ttyUSB0");
    form->ComPort1.SetBaudRate(br115200);
    form->show();
    // Windows-1250 bytes: "Żółty ser", "Gęś", "Świeża śliwka".
    {
        std::ofstream out(file, std::ios::binary);
        out << "1001;\xaf\xf3\xb3ty ser;12.50\n1002;G\xea\x9c;30.00\n1003;\x8cwie\xbf\x61 \x9cliwka;4.20\n";
    }
    form->LoadFile(file.string());
    shot("grid-cp1250.png");
    Load(100000);
    SendRows(12);
    shot("transfer-time-left.png");
    ASSERT_TRUE(gui::WaitFor([&] { return Note().endsWith("for 4 s"); }, 10000));
    shot("transfer-stalled.png");
    form->bbWyslijBaze->click();
    shot("transfer-stopped.png");
}
