#pragma once
// Shared by the fuzz targets: invariants that stop the run, and a scratch
// folder in memory where the file system allows (flushes there are cheap).
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond);                \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

namespace fuzz {

// A folder of this process's own, with its trailing "/".
inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string t = base + "/scaledb-fuzz-XXXXXX";
        if (!::mkdtemp(t.data())) std::abort();
        return t + "/";
    }();
    return dir;
}

// Puts the bytes into a plain file, replacing what was there.
inline void PutFile(const std::string& path, const std::string& bytes) {
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

} // namespace fuzz
