// Time from process start to the main window shown.
#include <QTest>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "app/CrashReporter.h"
#include "app/okno.h"
#include "bench/BenchUtil.h"
#include "platform/Translate.h"
#include "settings/ConnectionUnit.h"

namespace {
// Milliseconds since this process started, from the kernel's record of it.
double MsSinceProcessStart() {
    unsigned long long start = 0;
    if (std::FILE* f = std::fopen("/proc/self/stat", "r")) {
        char buf[4096];
        std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        buf[n] = 0;
        std::fclose(f);
        const char* p = std::strrchr(buf, ')');
        for (int field = 2; p && field < 22; ++field)
            p = std::strchr(p + 1, ' ');
        if (p) start = std::strtoull(p + 1, nullptr, 10);
    }
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double nowMs = static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
    return nowMs - static_cast<double>(start) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}
} // namespace

int main(int argc, char** argv) {
    crash::Install();
    platform::InitTranslation();
    TApplication app(argc, argv);
    auto* form = new TForm1;
    CreateConnectionForm();
    form->show();
    if (!QTest::qWaitForWindowExposed(form, 5000)) return 1;
    bench::Print("startup_to_window_shown_ms", MsSinceProcessStart(), "ms");
    return 0;
}
