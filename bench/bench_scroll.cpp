// Scrolling a 1,000,000-row table: time to repaint the grid per scroll step.
#include <QApplication>
#include <QScrollBar>
#include <QTest>

#include "app/GridModel.h"
#include "bench/BenchUtil.h"
#include "transfer/DatabaseFile.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::string text;
    for (int r = 0; r < 1000000; ++r)
        text += std::to_string(r) + ";Product " + std::to_string(r % 977) + ";1.00;2;3;4;5;6\n";
    TableParser parser(text.size());
    parser.Feed(text.data(), text.size());
    TStringGrid grid;
    grid.resize(1200, 800);
    auto t0 = bench::Clock::now();
    grid.Model()->SetTable(parser.Finish());
    grid.show();
    if (!QTest::qWaitForWindowExposed(&grid, 5000)) return 1;
    QApplication::processEvents();
    bench::Print("grid_show_1m_rows_ms", bench::MsSince(t0), "ms");

    std::vector<double> frames;
    QScrollBar* bar = grid.verticalScrollBar();
    for (int i = 0; i < 400; ++i) {
        auto f0 = bench::Clock::now();
        // Page steps down, then jumps across the whole table.
        bar->setValue(i < 200 ? bar->value() + bar->pageStep() : (i * 7919) % bar->maximum());
        grid.viewport()->repaint();
        frames.push_back(bench::MsSince(f0));
    }
    bench::Print("grid_scroll_frame_median_ms", bench::Percentile(frames, 50), "ms");
    bench::Print("grid_scroll_frame_p99_ms", bench::Percentile(frames, 99), "ms");
    return 0;
}
