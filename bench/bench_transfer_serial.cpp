// Transfer overhead over a serial line: the real window sends 200 records to
// a scale played by this program on the far side of a pseudo-terminal, which
// answers every command at once.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "app/okno.h"
#include "bench/BenchUtil.h"

using bench::NowMs;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int kRecords = 200;
    namespace fs = std::filesystem;
    const fs::path table = bench::WriteProductTable("ser", kRecords);
    int master = -1, slave = -1;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return 1;

    auto* form = new TForm1;
    form->LoadFile(table.string());
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

    const double total = bench::TimeUntilOutcomeBox([&] { form->bbWyslijBaze->click(); });
    done = true;
    scale.join();
    if (total < 0) return 1;

    // Per record: from the reply leaving the scale to the next command's
    // arrival, less the 100 ms the sequencer waits on purpose. A pty has no
    // line rate, so the wire time is nil.
    std::vector<double> overhead;
    std::vector<double> latency;
    {
        std::lock_guard l(m);
        for (std::size_t i = 0; i + 1 < commandSeen.size(); ++i)
            overhead.push_back(commandSeen[i + 1] - replySent[i] - 100.0);
        for (std::size_t i = 0; i < replySent.size() && i < rxHandled.size(); ++i)
            latency.push_back((rxHandled[i] - replySent[i]) * 1000.0);
    }
    bench::Print("serial_transfer_200_records_total_ms", total, "ms");
    bench::Print("serial_record_overhead_median_ms", bench::Percentile(overhead, 50), "ms");
    bench::Print("serial_record_overhead_p99_ms", bench::Percentile(overhead, 99), "ms");
    bench::Print("serial_reply_to_handler_p50_us", bench::Percentile(latency, 50), "us");
    bench::Print("serial_reply_to_handler_p99_us", bench::Percentile(latency, 99), "us");
    form->btnOpenPort->click();
    delete form;
    ::close(slave);
    ::close(master);
    fs::remove(table);
    return 0;
}
