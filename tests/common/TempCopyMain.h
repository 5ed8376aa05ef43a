#pragma once
// Test executables that touch the files beside the executable (config.xml,
// ComPortTest.ini, the crash log) run from a private copy: the first process
// hard-links itself into a fresh directory, runs that copy with the same
// arguments, removes the directory and passes the exit status on.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

inline const char* kCopyMarker = "SCALEDB_TEST_COPY";

// Returns -1 in the copy (go on and run the tests), else the copy's exit status.
inline int RunFromTempCopy(int argc, char** argv) {
    (void)argc;
    if (std::getenv(kCopyMarker)) return -1;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return -1;
    const fs::path base = fs::path(SCALEDB_BIN_DIR).parent_path() / "testtmp";
    fs::create_directories(base, ec);
    std::string templ = (base / "run-XXXXXX").string();
    if (!::mkdtemp(templ.data())) return -1;
    const fs::path dir = templ;
    const fs::path copy = dir / self.filename();
    fs::create_hard_link(self, copy, ec);
    if (ec) fs::copy_file(self, copy, ec);
    if (ec) return -1;
    const fs::path locale = fs::path(SCALEDB_BIN_DIR) / "locale";
    if (fs::exists(locale)) fs::create_directory_symlink(locale, dir / "locale", ec);

    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv(kCopyMarker, "1", 1);
        argv[0] = const_cast<char*>(copy.c_str());
        ::execv(copy.c_str(), argv);
        ::_exit(127);
    }
    int status = 0;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    fs::remove_all(dir, ec);
    if (pid < 0) return 1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace testing_support
