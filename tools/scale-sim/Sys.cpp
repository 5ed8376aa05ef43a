#include "Sys.h"

#include <fcntl.h>
#include <unistd.h>

namespace scalesim {

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = Retry([&] { return ::write(fd, data.data(), data.size()); });
        if (n < 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void Fd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

void SetNonBlocking(int fd) {
    int flags = Retry([&] { return ::fcntl(fd, F_GETFL); });
    if (flags < 0 || Retry([&] { return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK); }) < 0)
        ThrowErrno("fcntl(O_NONBLOCK)");
}

} // namespace scalesim
