#include "AtomicFile.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
[[noreturn]] void Fail(const std::string& what, const std::string& path, int err) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(err));
}

// The file a path finally names, following symbolic links (also dangling
// ones, whose target is then created). Resolved once, before writing.
std::string ResolveLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(PATH_MAX, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0) Fail("Unable to write to", path, errno);
        target.resize(static_cast<std::size_t>(n));
        if (target[0] != '/') {
            std::size_t slash = path.rfind('/');
            target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + target;
        }
        path = std::move(target);
    }
    Fail("Unable to write to", path, ELOOP);
}
} // namespace

void WriteFileAtomically(const std::string& path, const std::string& contents) {
    WriteFileAtomically(path, std::vector<std::string_view>{contents});
}

void WriteFileAtomically(const std::string& linkPath, const std::vector<std::string_view>& pieces) {
    const std::string path = ResolveLinks(linkPath);
    // Keep the permissions of the file being replaced, else the usual 0644.
    // A user who made the file read-only meant it to stay as it is.
    struct stat st {};
    mode_t mode = 0644;
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) Fail("Unable to write to", linkPath, EINVAL);
        if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0)
            Fail("Unable to write to", linkPath, EACCES);
        mode = st.st_mode & 07777;
    }
    std::string tmp = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) Fail("Unable to write to", linkPath, errno);
    ::fchmod(fd, mode);
    for (std::string_view piece : pieces) {
        const char* p = piece.data();
        std::size_t left = piece.size();
        while (left > 0) {
            ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                int err = n < 0 ? errno : ENOSPC;
                ::close(fd);
                ::unlink(tmp.c_str());
                Fail("Unable to write to", linkPath, err);
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        Fail("Unable to write to", linkPath, err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        Fail("Unable to write to", linkPath, err);
    }
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string out;
    // One allocation of the file's size (and one more byte to see the end).
    out.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == out.size()) out.resize(out.size() * 2);
        ssize_t n = ::read(fd, out.data() + have, out.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.resize(have);
    contents = std::move(out);
    return true;
}

} // namespace platform
