// Transfer overhead with the window on a display, maximised: the real window
// sends 200 records over a pseudo-terminal to a scale played by this program,
// which answers every command at once. Run it on an X display (scripts/bench
// uses Xvfb); on the offscreen platform it measures the painting-free case.
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <pty.h>
#include <thread>
#include <unistd.h>

#include "app/okno.h"
#include "bench/BenchUtil.h"

using bench::NowMs;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int kRecords = 200;
    namespace fs = std::filesystem;
    const fs::path table = bench::WriteProductTable("disp", kRecords);
    int master = -1, slave = -1;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;

    auto* form = new TForm1;
    form->LoadFile(table.string());
    form->showMaximized();
    // Without a window manager nothing maximises: cover the screen instead.
    if (const QScreen* screen = form->screen(); screen && form->size() != screen->availableGeometry().size())
        form->setGeometry(screen->availableGeometry());
    if (!QTest::qWaitForWindowExposed(form)) return 1;
    QTest::qWait(300);
    form->ComPort1.SetPort(name);
    form->btnOpenPort->click();
    if (!form->ComPort1.Connected()) return 1;

    std::mutex m;
    std::vector<double> replySent;   // when each reply left the scale
    std::vector<double> commandSeen; // when each command's LF arrived
    std::vector<double> rxHandled;   // when the window's handler saw reply bytes
    std::atomic<bool> done{false};
    auto original = form->ComPort1.OnRxChar;
    form->ComPort1.OnRxChar = [&](TCustomComPort* s, int n) {
        {
            std::lock_guard l(m);
            rxHandled.push_back(NowMs());
        }
        original(s, n);
    };
    std::thread scale = bench::AnswerOnPty(master, m, commandSeen, replySent, done);

    // The program's own event loop, as a user runs it; a slow check closes the
    // outcome box without waking the loop between records.
    QEventLoop loop;
    bool finished = false;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            finished = true;
            box->accept();
            loop.quit();
        }
    });
    check.start(250);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    const auto t0 = bench::Clock::now();
    form->bbWyslijBaze->click();
    loop.exec();
    const double total = bench::MsSince(t0);
    done = true;
    scale.join();
    if (!finished) return 1;

    // Per record: from the reply leaving the scale to the next command's
    // arrival, less the 100 ms the sequencer waits on purpose.
    std::vector<double> overhead, latency, tick;
    {
        std::lock_guard l(m);
        for (std::size_t i = 0; i + 1 < commandSeen.size(); ++i)
            overhead.push_back(commandSeen[i + 1] - replySent[i] - 100.0);
        for (std::size_t i = 0; i < replySent.size() && i < rxHandled.size(); ++i)
            latency.push_back(rxHandled[i] - replySent[i]);
        for (std::size_t i = 0; i + 1 < commandSeen.size() && i < rxHandled.size(); ++i)
            tick.push_back(commandSeen[i + 1] - rxHandled[i] - 100.0);
    }
    const std::string where = QGuiApplication::platformName() == "offscreen" ? "offscreen" : "display";
    bench::Print(where + "_maximised_transfer_200_records_total_ms", total, "ms");
    bench::Print(where + "_maximised_record_overhead_median_ms", bench::Percentile(overhead, 50), "ms");
    bench::Print(where + "_maximised_record_overhead_p99_ms", bench::Percentile(overhead, 99), "ms");
    // The two halves: reply to the window's handler, and handler to the next
    // command beyond the 100 ms wait.
    bench::Print(where + "_maximised_reply_to_handler_median_ms", bench::Percentile(latency, 50), "ms");
    bench::Print(where + "_maximised_reply_to_handler_p99_ms", bench::Percentile(latency, 99), "ms");
    bench::Print(where + "_maximised_handler_to_command_median_ms", bench::Percentile(tick, 50), "ms");
    bench::Print(where + "_maximised_handler_to_command_p99_ms", bench::Percentile(tick, 99), "ms");
    form->btnOpenPort->click();
    delete form;
    ::close(slave);
    ::close(master);
    fs::remove(table);
    return 0;
}
