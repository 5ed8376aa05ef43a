// Start (RestoreSettings) and close (SaveSettings) with a 100 MB
// ComPortTest.ini, once of short lines and once of a single line, and the
// memory they take beyond what the process held before.
#include "bench/BenchUtil.h"
#include "links/serial/CPort.h"

#include <QTemporaryDir>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Processor time of this process, which a busy machine does not inflate.
double CpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

constexpr std::size_t FileBytes = 100u << 20;

// Writes the file in pieces, so that making it costs this process no memory.
bool MakeFile(const std::string& path, bool shortLines) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    std::string head = "[ComPort1]\nPort=COM3\nBaudRate=19200\nStopBits=1\nDataBits=8\nParity=None\n";
    std::fputs(head.c_str(), f);
    std::size_t written = head.size();
    std::string chunk;
    for (unsigned n = 0; written < FileBytes; ++n) {
        chunk.clear();
        if (shortLines) {
            char line[32];
            for (int i = 0; i < 4096; ++i, ++n)
                chunk += std::string(
                    line, static_cast<std::size_t>(std::snprintf(line, sizeof line, "Key%07u=v\n", n)));
        } else {
            chunk.assign(1 << 20, 'x'); // one comment line without an end
            if (written == head.size()) chunk[0] = ';';
        }
        if (chunk.size() > FileBytes - written) chunk.resize(FileBytes - written);
        std::fwrite(chunk.data(), 1, chunk.size(), f);
        written += chunk.size();
    }
    return std::fclose(f) == 0;
}

// One run in a fresh process, so that its peak memory is its own.
int Run(const std::string& path, const std::string& name) {
    pid_t pid = ::fork();
    if (pid == 0) {
        const long before = bench::CurrentRssKb();
        TComPort port;
        auto t0 = bench::Clock::now();
        double c0 = CpuMs();
        port.RestoreSettings(ssIniFile, path);
        bench::Print(name + "_start_ms", bench::MsSince(t0), "ms");
        bench::Print(name + "_start_cpu_ms", CpuMs() - c0, "ms");
        port.SetPort(port.Port() == "COM4" ? "COM5" : "COM4");
        t0 = bench::Clock::now();
        c0 = CpuMs();
        port.SaveSettings(ssIniFile, path);
        bench::Print(name + "_close_ms", bench::MsSince(t0), "ms");
        bench::Print(name + "_close_cpu_ms", CpuMs() - c0, "ms");
        const double peakMb = static_cast<double>(bench::PeakRssKb() - before) / 1024.0;
        bench::Print(name + "_peak_memory_mb", peakMb, "MB");
        bench::Print(name + "_peak_memory_per_file_size", peakMb * 1024.0 * 1024.0 / FileBytes, "x");
        std::fflush(stdout);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main() {
    QTemporaryDir dir;
    if (!dir.isValid()) return 1;
    const std::string path = dir.path().toStdString() + "/ComPortTest.ini";
    int rc = 0;
    for (bool shortLines : {true, false}) {
        if (!MakeFile(path, shortLines)) return 1;
        rc |= Run(path, shortLines ? "ini_100mb_short_lines" : "ini_100mb_single_line");
    }
    return rc;
}
