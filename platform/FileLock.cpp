#include "FileLock.h"

#include <QDir>
#include <QString>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

// The note is written in one piece of this size, padded, so a reader never
// sees it half replaced by a shorter one.
constexpr std::size_t kNoteSize = 512;

int Retried(int (*call)(int, int), int fd, int op) {
    int rc;
    do
        rc = call(fd, op);
    while (rc != 0 && errno == EINTR);
    return rc;
}

} // namespace

FileLock::~FileLock() {
    Unlock();
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        Unlock();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileLock::Result FileLock::TryLock(const std::string& path, const std::string& note, std::string* error) {
    auto fail = [&](const std::string& what) {
        if (error) *error = path + ": " + what;
        return Result::Failed;
    };
    if (fd_ >= 0) return Result::Taken;
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 &&
        !QDir().mkpath(QString::fromStdString(path.substr(0, slash))))
        return fail("cannot create the folder");
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return fail(std::strerror(errno));
    if (Retried(::flock, fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK) return Result::Busy;
        return fail(std::strerror(e));
    }
    std::string padded = note.substr(0, kNoteSize - 1) + "\n";
    padded.resize(kNoteSize, ' ');
    // The note only informs: a lock whose note cannot be written is still held.
    if (::pwrite(fd, padded.data(), padded.size(), 0) == static_cast<ssize_t>(padded.size())) {
        const int truncated = ::ftruncate(fd, static_cast<off_t>(padded.size()));
        (void)truncated;
    }
    fd_ = fd;
    return Result::Taken;
}

void FileLock::Unlock() {
    if (fd_ < 0) return;
    ::close(fd_); // closing the last descriptor releases the lock
    fd_ = -1;
}

std::string FileLock::ReadNote(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return {};
    char buf[kNoteSize];
    const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    ::close(fd);
    if (n <= 0) return {};
    std::string note(buf, static_cast<std::size_t>(n));
    const auto lf = note.find('\n');
    return lf == std::string::npos ? note : note.substr(0, lf);
}

} // namespace platform
