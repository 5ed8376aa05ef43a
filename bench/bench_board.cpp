// The scales board sending from the window: a 100-row table goes to 200
// simulated TCP scales of one scale-sim at once, then to one scale alone. The
// ratio of the two wall times shows whether the scales slow each other down;
// a 10 ms timer on the window's loop shows how late the window answers meanwhile.
#include <QApplication>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/ScalesForm.h"
#include "app/okno.h"
#include "bench/BenchUtil.h"
#include "platform/AtomicFile.h"
#include "scales/ScaleList.h"
#include "tests/common/TempCopyMain.h"
#include "tests/tools/SimProcess.h"

namespace {

constexpr int kScales = 200;
constexpr int kRows = 100;

struct Run {
    double wallMs = -1;
    std::vector<double> lateMs; // of each 10 ms tick while the send ran
    int sent = 0;
};

Run SendTo(TForm1& form, const std::vector<int>& ports) {
    std::string list;
    for (std::size_t i = 0; i < ports.size(); ++i)
        list += "tcp:127.0.0.1:" + std::to_string(ports[i]) + "  Scale " + std::to_string(i + 1) + "\n";
    platform::WriteFileAtomically(scales::ScaleListPath(), list);
    form.Scales1->trigger(); // reads the list again
    TScalesForm* board = form.ScalesForm();

    Run run;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    double last = bench::NowMs();
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const double now = bench::NowMs();
        run.lateMs.push_back(std::max(0.0, now - last - 10));
        last = now;
    });
    QEventLoop loop;
    QTimer done;
    QObject::connect(&done, &QTimer::timeout, [&] {
        if (!board->Sending()) loop.quit();
    });
    const auto t0 = bench::Clock::now();
    board->btnSend->click();
    tick.start();
    last = bench::NowMs();
    done.start(5);
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    if (board->Sending()) return run;
    run.wallMs = bench::MsSince(t0);
    for (int r = 0; r < board->GridScales->rowCount(); ++r)
        if (board->GridScales->item(r, TScalesForm::ColState)->text() == "sent") ++run.sent;
    return run;
}

} // namespace

int main(int argc, char** argv) {
    // The board writes its list and history beside the program: a private copy.
    if (int rc = testing_support::RunFromTempCopy(argc, argv); rc >= 0) return rc;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const auto table = bench::WriteProductTable("board", kRows);

    SimProcess many, one;
    many.Start({"--tcp", "--count", std::to_string(kScales)});
    one.Start({"--tcp"});
    const std::vector<int> ports = many.Ports(kScales);

    TForm1 form;
    form.show();
    form.LoadFile(table.string());
    const Run single = SendTo(form, {one.Port()});
    const Run all = SendTo(form, ports);
    std::filesystem::remove(table);
    if (single.sent != 1 || all.sent != kScales) {
        std::fprintf(stderr, "bench_board: a send failed (%d of 1 and %d of %d sent)\n", single.sent,
                     all.sent, kScales);
        return 1;
    }
    bench::Print("board_wall_ratio", all.wallMs / single.wallMs, "ratio");
    bench::Print("board_wall_200", all.wallMs / 1000, "s");
    bench::Print("board_wall_1", single.wallMs / 1000, "s");
    bench::Print("board_loop_latency_p99_ms", bench::Percentile(all.lateMs, 99), "ms");
    bench::Print("board_loop_latency_max_ms", bench::Percentile(all.lateMs, 100), "ms");
    return 0;
}
