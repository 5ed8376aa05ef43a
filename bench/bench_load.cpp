// Loading a 1,000,000-row x 8-field file into the grid model: time and peak memory.
#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

#include "app/GridModel.h"
#include "bench/BenchUtil.h"
#include "transfer/DatabaseFile.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    namespace fs = std::filesystem;
    const fs::path file =
        fs::temp_directory_path() / ("scaledb-bench-" + std::to_string(::getpid()) + ".csv");
    {
        std::string text;
        text.reserve(64u << 20);
        std::mt19937 rng(42);
        const char* names[] = {"Apples", "Pears", "Plums", "Cherries", "Walnuts", "Bread rolls", "Cheese"};
        auto R = [&rng](unsigned m) { return static_cast<unsigned>(rng() % m); };
        char line[256];
        for (int r = 0; r < 1000000; ++r) {
            int n = std::snprintf(line, sizeof line, "%d;%s %d;%u.%02u;%u;kg;59%05u%06u;%u;%s\r\n",
                                  100000 + r, names[R(7)], r % 1000, R(100), R(100), R(5000), R(100000),
                                  R(1000000), R(3), "fresh department");
            text.append(line, static_cast<std::size_t>(n));
        }
        std::FILE* f = std::fopen(file.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    const double fileMb = static_cast<double>(fs::file_size(file)) / (1 << 20);

    TStringGridModel model;
    const long rssBefore = bench::CurrentRssKb();
    const long peakBefore = bench::PeakRssKb();
    auto t0 = bench::Clock::now();
    model.SetTable(LoadDatabaseFile(file.string()));
    const double ms = bench::MsSince(t0);
    const long peak = bench::PeakRssKb();
    const double extraMb = static_cast<double>(std::max(peak, peakBefore) - rssBefore) / 1024.0;

    if (model.rowCount() != 1000000 || model.columnCount() != 8) {
        std::fprintf(stderr, "unexpected table %d x %d\n", model.rowCount(), model.columnCount());
        return 1;
    }
    bench::Print("csv_file_size_mb", fileMb, "MB");
    bench::Print("csv_load_1m_rows_ms", ms, "ms");
    bench::Print("csv_load_peak_memory_mb", extraMb, "MB");
    bench::Print("csv_load_peak_memory_ratio", extraMb / fileMb, "x_file_size");
    fs::remove(file);
    return 0;
}
