// POSIX serial backend: termios devices (UARTs, USB adapters, pseudo-terminals).
//
// Transfers run in the calling thread with user-space deadlines and complete before
// returning. Device events are watched by one monitor thread per device, which polls the
// tty together with a wake descriptor and completes a pending WaitCommEvent; modem-line
// changes come from TIOCMIWAIT in a second thread where the driver has it.
#include "SerialTermios.h"
#include "ThreadGuard.h"
#include "WinSerial.h"

#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Every system call goes through here: EINTR restarts it, unless `interrupt` says the
// caller wants to see it (a thread being stopped).
template <class F> auto Sys(F call, const std::atomic<bool>* interrupt = nullptr) {
    for (;;) {
        auto r = call();
        if (r != -1 || errno != EINTR) return r;
        if (interrupt && interrupt->load()) return r;
    }
}

using Deadline = std::optional<Clock::time_point>; // none: no time limit

// poll() until `deadline`. A signal restarts it with what is left, so a stream of
// signals cannot postpone the deadline.
int PollUntil(pollfd* fds, nfds_t count, Deadline deadline) {
    for (;;) {
        int ms = -1;
        if (deadline) {
            const auto left = *deadline - Clock::now();
            // Rounded up: waking a little early would only spin until the deadline.
            const auto leftMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            ms = leftMs <= 0 ? 0 : static_cast<int>(std::min<long long>(leftMs, 1 << 30));
        }
        const int r = ::poll(fds, count, ms);
        if (r != -1 || errno != EINTR) return r;
    }
}

Deadline After(std::uint64_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

// The one place where errno becomes the caller's error code.
DWORD ErrorFromErrno(int e) {
    switch (e) {
    case EWOULDBLOCK:
        return EBUSY; // a lock held by someone else: the port is busy
    default:
        return static_cast<DWORD>(e);
    }
}

BOOL FailErrno(int e) {
    SetLastError(ErrorFromErrno(e));
    return FALSE;
}

BOOL FailCode(DWORD code) {
    SetLastError(code);
    return FALSE;
}

bool NotSupported(int e) {
    return e == ENOTTY || e == EINVAL;
}

// Interrupts a thread blocked in TIOCMIWAIT. No SA_RESTART, so the ioctl returns EINTR.
int WakeSignal() {
    static const int sig = [] {
        int s = SIGRTMAX - 2;
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(s, &sa, nullptr);
        return s;
    }();
    return sig;
}

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr int kUnreadSampleMs = 20; // new bytes behind unread ones: no POLLIN edge to wait for
constexpr int kDrainSampleMs = 10;  // output draining towards EV_TXEMPTY
constexpr int kModemSampleMs = 30;  // drivers with TIOCMGET but without TIOCMIWAIT
constexpr auto kStalledDrain = std::chrono::seconds(1); // no byte left for this long: give up

class PosixDevice final : public SerialDevice {
public:
    PosixDevice(int fd, int wakeFd, int abortFd) : fd_(fd), wakeFd_(wakeFd), abortFd_(abortFd) {
        int bits = 0;
        modemSupported_ = Sys([&] { return ioctl(fd_, TIOCMGET, &bits); }) == 0;
        modemBits_ = modemSupported_ ? bits : 0;
        haveICount_ = Sys([&] { return ioctl(fd_, TIOCGICOUNT, &errBase_); }) == 0;
        evtBase_ = errBase_;
    }

    ~PosixDevice() override { Close(); }

    BOOL Close() override {
        std::unique_lock lock(m_);
        if (fd_ < 0) return TRUE;
        closing_ = true;
        CompleteWait(ERROR_OPERATION_ABORTED, 0);
        AbortTransfers();
        Wake();
        lock.unlock();
        if (monitor_.joinable()) monitor_.join();
        StopModemThread();
        lock.lock();
        transfersDone_.wait(lock, [&] { return activeTransfers_ == 0; });
        Sys([&] { return ioctl(fd_, TIOCNXCL); });
        ::close(fd_); // also drops the flock
        ::close(wakeFd_);
        ::close(abortFd_);
        fd_ = wakeFd_ = abortFd_ = -1;
        return TRUE;
    }

    BOOL SetupComm(DWORD inQueue, DWORD) override {
        // The kernel's queues have a fixed size; the input size only sets the 80 % mark.
        std::lock_guard lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        if (inQueue > 0) inQueue_ = inQueue;
        return TRUE;
    }

    BOOL SetCommState(const DCB& dcb) override {
        std::lock_guard lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        termios2 t{};
        if (Sys([&] { return ioctl(fd_, TCGETS2, &t); }) != 0) return FailErrno(errno);
        const termios2 before = t;
        if (!termios_map::FromDcb(dcb, t)) return FailCode(EINVAL);
        if (Sys([&] { return ioctl(fd_, TCSETS2, &t); }) != 0) return FailErrno(errno);
        // A driver that cannot do a rate keeps another one without an error.
        termios2 now{};
        if (Sys([&] { return ioctl(fd_, TCGETS2, &now); }) != 0) return FailErrno(errno);
        if (!termios_map::RateTaken(dcb.BaudRate, now)) {
            Sys([&] { return ioctl(fd_, TCSETS2, &before); });
            return FailCode(EINVAL);
        }
        const auto lines = termios_map::ModemOutputs(dcb);
        SetOutput(TIOCM_DTR, lines.dtr);
        SetOutput(TIOCM_RTS, lines.rts);
        filter_.Configure(dcb);
        // The kernel has no DSR flow control: both are kept here, per transfer.
        outDsrFlow_ = dcb.fOutxDsrFlow != 0;
        dsrSensitivity_ = dcb.fDsrSensitivity != 0;
        return TRUE;
    }

    BOOL SetCommTimeouts(const COMMTIMEOUTS& t) override {
        std::lock_guard lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        timeouts_ = t;
        return TRUE;
    }

    BOOL ClearCommError(DWORD* errors, COMSTAT* stat) override {
        std::lock_guard lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        int inq = 0, outq = 0;
        if (Sys([&] { return ioctl(fd_, TIOCINQ, &inq); }) != 0) return FailErrno(errno);
        if (Sys([&] { return ioctl(fd_, TIOCOUTQ, &outq); }) != 0) outq = 0;
        DWORD flags = 0;
        serial_icounter_struct now{};
        if (haveICount_ && Sys([&] { return ioctl(fd_, TIOCGICOUNT, &now); }) == 0) {
            if (now.frame != errBase_.frame) flags |= CE_FRAME;
            if (now.parity != errBase_.parity) flags |= CE_RXPARITY;
            if (now.overrun != errBase_.overrun) flags |= CE_OVERRUN;
            if (now.buf_overrun != errBase_.buf_overrun) flags |= CE_RXOVER;
            if (now.brk != errBase_.brk) flags |= CE_BREAK;
            errBase_ = now;
        }
        if (errors) *errors = flags;
        if (stat) {
            stat->Flags = 0;
            stat->cbInQue = static_cast<DWORD>(std::max(inq, 0));
            stat->cbOutQue = static_cast<DWORD>(std::max(outq, 0));
        }
        return TRUE;
    }

    BOOL GetCommModemStatus(DWORD* status) override {
        std::lock_guard lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        int bits = 0;
        if (Sys([&] { return ioctl(fd_, TIOCMGET, &bits); }) != 0) {
            // No modem lines (pseudo-terminals): no signals, not a failure.
            if (!NotSupported(errno)) return FailErrno(errno);
            bits = 0;
        }
        *status = ModemStatus(bits);
        return TRUE;
    }

    BOOL PurgeComm(DWORD flags) override {
        if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
            return FailCode(ERROR_INVALID_PARAMETER);
        std::lock_guard lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        // Aborting touches only transfers in flight, so it works on a device that is gone.
        if (flags & (PURGE_TXABORT | PURGE_RXABORT)) AbortTransfers();
        const bool rx = flags & PURGE_RXCLEAR, tx = flags & PURGE_TXCLEAR;
        if (!rx && !tx) return TRUE;
        int inq = 0, outq = 0;
        if (rx) Sys([&] { return ioctl(fd_, TIOCINQ, &inq); });
        // Only what the driver still holds is discarded. A pseudo-terminal holds nothing:
        // its bytes are already with the far end, where a flush would reach in and drop them.
        const bool flushTx = tx && Sys([&] { return ioctl(fd_, TIOCOUTQ, &outq); }) == 0 && outq > 0;
        if (!rx && !flushTx) return TRUE;
        const int which = rx && flushTx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
        if (Sys([&] { return ioctl(fd_, TCFLSH, which); }) != 0) return FailErrno(errno);
        if (rx) consumed_ += static_cast<std::uint64_t>(std::max(inq, 0));
        return TRUE;
    }

    BOOL FlushFileBuffers() override {
        std::unique_lock lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        if (!drainPending_) return TRUE;
        // Bytes reported as written get the time their writes were allowed, no more.
        const Deadline deadline = drainDeadline_;
        drainPending_ = false;
        lock.unlock();
        int last = -1;
        auto lastMove = Clock::now();
        for (;;) {
            int outq = 0;
            if (hungUp_ || Sys([&] { return ioctl(fd_, TIOCOUTQ, &outq); }) != 0 || outq <= 0) return TRUE;
            const auto now = Clock::now();
            if (outq != last) {
                last = outq;
                lastMove = now;
            }
            // Writes without a time limit: wait as long as the line moves.
            const bool expired = deadline ? now >= *deadline : now - lastMove >= kStalledDrain;
            if (expired) return FailCode(WAIT_TIMEOUT);
            auto next = now + std::chrono::milliseconds(kDrainSampleMs);
            if (deadline) next = std::min(next, *deadline);
            std::this_thread::sleep_until(next);
        }
    }

    BOOL WriteFile(const void* buf, DWORD n, DWORD* written, OVERLAPPED* ov) override {
        if (written) *written = 0;
        Transfer transfer(*this);
        if (!transfer.ok) return Finish(ov, ERROR_INVALID_HANDLE, 0, written);
        if (hungUp_) return Finish(ov, EIO, 0, written);
        const std::uint64_t budget = std::uint64_t(transfer.timeouts.WriteTotalTimeoutMultiplier) * n +
                                     transfer.timeouts.WriteTotalTimeoutConstant;
        const Deadline deadline = budget > 0 ? After(budget) : std::nullopt;
        const auto* p = static_cast<const char*>(buf);
        DWORD done = 0;
        DWORD error = 0;
        while (done < n) {
            if (transfer.outDsrFlow && !DsrOn()) { // output waits for the peer's DSR
                if (deadline && Clock::now() >= *deadline) break;
                auto next = Clock::now() + std::chrono::milliseconds(kModemSampleMs);
                if (deadline) next = std::min(next, *deadline);
                const auto w = transfer.Wait(0, next);
                if (w == Wakeup::Aborted || w == Wakeup::HungUp) {
                    error = w == Wakeup::Aborted ? ERROR_OPERATION_ABORTED : EIO;
                    break;
                }
                continue;
            }
            ssize_t r = Sys([&] { return ::write(fd_, p + done, n - done); });
            if (r > 0) {
                done += static_cast<DWORD>(r);
                continue;
            }
            if (r < 0 && errno != EAGAIN) {
                if (errno == EIO) MarkHungUp();
                error = ErrorFromErrno(errno);
                break;
            }
            // Timed out: the part written counts, as a success.
            if (deadline && Clock::now() >= *deadline) break;
            const auto w = transfer.Wait(POLLOUT, deadline);
            if (w == Wakeup::Aborted) {
                error = ERROR_OPERATION_ABORTED;
                break;
            }
            if (w == Wakeup::HungUp) {
                error = EIO;
                break;
            }
        }
        if (done > 0) {
            std::lock_guard lock(m_);
            txPending_ = true;
            // Until Close, these bytes may take as long as this write was allowed.
            if (!drainPending_)
                drainDeadline_ = deadline;
            else if (drainDeadline_ && deadline)
                drainDeadline_ = std::max(*drainDeadline_, *deadline);
            else
                drainDeadline_ = std::nullopt;
            drainPending_ = true;
            if (waitOv_) Wake();
        }
        return Finish(ov, error, done, written);
    }

    BOOL ReadFile(void* buf, DWORD n, DWORD* read, OVERLAPPED* ov) override {
        if (read) *read = 0;
        Transfer transfer(*this);
        if (!transfer.ok) return Finish(ov, ERROR_INVALID_HANDLE, 0, read);
        const auto& t = transfer.timeouts;
        const bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                               t.ReadTotalTimeoutConstant == 0;
        // "Return as soon as anything is there, or after the constant."
        const bool firstByte = t.ReadIntervalTimeout == MAXDWORD &&
                               t.ReadTotalTimeoutMultiplier == MAXDWORD && t.ReadTotalTimeoutConstant > 0 &&
                               t.ReadTotalTimeoutConstant < MAXDWORD;
        const std::uint64_t total =
            firstByte ? t.ReadTotalTimeoutConstant
                      : std::uint64_t(t.ReadTotalTimeoutMultiplier) * n + t.ReadTotalTimeoutConstant;
        const std::uint64_t interval =
            t.ReadIntervalTimeout == MAXDWORD || firstByte ? 0 : t.ReadIntervalTimeout;
        const auto start = Clock::now();
        auto lastByte = start;
        auto* p = static_cast<char*>(buf);
        DWORD done = 0;
        std::uint64_t raw = 0; // taken from the driver, before filtering
        DWORD error = 0;
        while (done < n && !hungUp_) {
            ssize_t r = Sys([&] { return ::read(fd_, p + done, n - done); });
            if (r > 0) {
                raw += static_cast<std::uint64_t>(r);
                std::size_t kept = 0;
                // Bytes that arrive while DSR is low are ignored.
                if (!transfer.dsrSensitivity || DsrOn()) {
                    std::lock_guard lock(m_);
                    kept = filter_.Apply(p + done, static_cast<std::size_t>(r));
                }
                if (kept == 0) continue;
                done += static_cast<DWORD>(kept);
                lastByte = Clock::now();
                if (firstByte) break;
                continue;
            }
            if ((r == 0 && HungUpNow()) || (r < 0 && errno == EIO)) { // gone: nothing more will come
                MarkHungUp();
                break;
            }
            if (r < 0 && errno != EAGAIN) {
                error = ErrorFromErrno(errno);
                break;
            }
            if (immediate) break;
            Deadline deadline;
            if (total > 0) deadline = start + std::chrono::milliseconds(total);
            if (interval > 0 && done > 0) {
                const auto gapEnd = lastByte + std::chrono::milliseconds(interval);
                deadline = deadline ? std::min(*deadline, gapEnd) : gapEnd;
            }
            if (deadline && Clock::now() >= *deadline) break;
            const auto w = transfer.Wait(POLLIN, deadline);
            if (w == Wakeup::Aborted) {
                error = ERROR_OPERATION_ABORTED;
                break;
            }
        }
        if (raw > 0) {
            std::lock_guard lock(m_);
            consumed_ += raw;
            if (waitOv_) Wake(); // the queue may be empty now: watch for new input again
        }
        return Finish(ov, error, done, read);
    }

    BOOL SetCommMask(DWORD mask) override {
        std::lock_guard lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        mask_ = mask;
        history_ = 0;
        // A pending wait ends with no events, so the waiter sees the change.
        if (waitOv_) {
            *waitMask_ = 0;
            CompleteWait(0, sizeof(DWORD));
        }
        if ((mask & kModemEvents) && modemSupported_ && !modem_.joinable()) {
            stopModem_ = false;
            modemDone_ = false;
            modem_ = std::thread([this] { RunGuarded([this] { ModemLoop(); }); });
        }
        Wake();
        return TRUE;
    }

    BOOL WaitCommEvent(DWORD* mask, OVERLAPPED* ov) override {
        if (!ov) return WaitBlocking(mask);
        std::lock_guard lock(m_);
        if (closing_) return FailCode(ERROR_INVALID_HANDLE);
        if (waitOv_) return FailCode(ERROR_INVALID_PARAMETER); // one wait at a time
        *mask = 0;
        overlapped::Start(ov);
        waitMask_ = mask;
        waitOv_ = ov;
        Note(0); // what happened while no wait was pending is reported now
        if (!monitor_.joinable()) monitor_ = std::thread([this] { RunGuarded([this] { MonitorLoop(); }); });
        Wake();
        return FailCode(ERROR_IO_PENDING);
    }

private:
    enum class Wakeup { Ready, Timeout, Aborted, HungUp };

    // Book-keeping of one ReadFile/WriteFile, so purge and close can end it.
    struct Transfer {
        explicit Transfer(PosixDevice& dev) : d(dev) {
            std::lock_guard lock(d.m_);
            ok = !d.closing_;
            if (!ok) return;
            ++d.activeTransfers_;
            generation = d.abortGeneration_;
            timeouts = d.timeouts_;
            outDsrFlow = d.outDsrFlow_;
            dsrSensitivity = d.dsrSensitivity_;
        }
        ~Transfer() {
            if (!ok) return;
            std::lock_guard lock(d.m_);
            if (--d.activeTransfers_ == 0) {
                std::uint64_t v;
                Sys([&] { return ::read(d.abortFd_, &v, sizeof v); }); // drain the abort signal
                d.transfersDone_.notify_all();
            }
        }
        Wakeup Wait(short events, Deadline deadline) {
            pollfd fds[2] = {{d.fd_, events, 0}, {d.abortFd_, POLLIN, 0}};
            // A stale abort signal meant for an earlier transfer must not wake us over and over.
            const nfds_t count = watchAbort ? 2 : 1;
            int r = PollUntil(fds, count, deadline);
            if (r == 0) return Wakeup::Timeout;
            if (count == 2 && (fds[1].revents & POLLIN)) {
                std::lock_guard lock(d.m_);
                if (d.abortGeneration_ != generation) return Wakeup::Aborted;
                watchAbort = false;
            }
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                if (!(fds[0].revents & events)) {
                    d.MarkHungUp();
                    return Wakeup::HungUp;
                }
            }
            return Wakeup::Ready;
        }
        PosixDevice& d;
        bool ok = false;
        bool watchAbort = true;
        std::uint64_t generation = 0;
        COMMTIMEOUTS timeouts{};
        bool outDsrFlow = false;
        bool dsrSensitivity = false;
    };

    static DWORD ModemStatus(int bits) {
        DWORD s = 0;
        if (bits & TIOCM_CTS) s |= MS_CTS_ON;
        if (bits & TIOCM_DSR) s |= MS_DSR_ON;
        if (bits & TIOCM_RNG) s |= MS_RING_ON;
        if (bits & TIOCM_CD) s |= MS_RLSD_ON;
        return s;
    }

    static BOOL Finish(OVERLAPPED* ov, DWORD error, DWORD bytes, DWORD* count) {
        if (count) *count = bytes;
        if (ov) overlapped::Complete(ov, error, bytes);
        if (error) return FailCode(error);
        return TRUE;
    }

    // No modem lines (a pty) reads as DSR low, as on a cable without it.
    bool DsrOn() {
        int bits = 0;
        return Sys([&] { return ioctl(fd_, TIOCMGET, &bits); }) == 0 && (bits & TIOCM_DSR);
    }

    void SetOutput(int line, int state) {
        if (state < 0 || !modemSupported_) return;
        Sys([&] { return ioctl(fd_, state ? TIOCMBIS : TIOCMBIC, &line); });
    }

    void Wake() {
        std::uint64_t one = 1;
        Sys([&] { return ::write(wakeFd_, &one, sizeof one); });
    }

    void AbortTransfers() { // m_ held
        ++abortGeneration_;
        if (activeTransfers_ > 0) {
            std::uint64_t one = 1;
            Sys([&] { return ::write(abortFd_, &one, sizeof one); });
        }
    }

    void MarkHungUp() { hungUp_ = true; }

    // A read of 0 bytes is end-of-file only when the line has really hung up; with
    // VMIN 0 it just means "nothing queued".
    bool HungUpNow() {
        pollfd p{fd_, 0, 0};
        return Sys([&] { return ::poll(&p, 1, 0); }) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
    }

    // m_ held. Ends the pending wait; the waiter owns the block again.
    void CompleteWait(DWORD error, DWORD bytes) {
        if (!waitOv_) return;
        OVERLAPPED* ov = waitOv_;
        waitOv_ = nullptr;
        waitMask_ = nullptr;
        overlapped::Complete(ov, error, bytes);
    }

    // m_ held. Records an event if it is armed, and hands everything recorded to a pending wait.
    void Note(DWORD events) {
        history_ |= events & mask_;
        if (history_ && waitOv_) {
            *waitMask_ = history_;
            history_ = 0;
            CompleteWait(0, sizeof(DWORD));
        }
    }

    void NoteModemChange(int before, int after) { // m_ held
        const int changed = before ^ after;
        DWORD ev = 0;
        if (changed & TIOCM_CTS) ev |= EV_CTS;
        if (changed & TIOCM_DSR) ev |= EV_DSR;
        if (changed & TIOCM_CD) ev |= EV_RLSD;
        if (changed & TIOCM_RNG) ev |= EV_RING;
        modemBits_ = after;
        Note(ev);
    }

    // m_ held. Looks at the device and records what happened; returns bytes queued for input.
    int Evaluate() {
        // Collected first and reported together: one look, one completed wait.
        DWORD ev = 0;
        int inq = 0;
        if (Sys([&] { return ioctl(fd_, TIOCINQ, &inq); }) != 0) inq = 0;
        if (haveICount_ && (mask_ & (EV_ERR | EV_BREAK))) {
            serial_icounter_struct now{};
            if (Sys([&] { return ioctl(fd_, TIOCGICOUNT, &now); }) == 0) {
                if (now.brk != evtBase_.brk) ev |= EV_BREAK;
                if (now.frame != evtBase_.frame || now.parity != evtBase_.parity ||
                    now.overrun != evtBase_.overrun || now.buf_overrun != evtBase_.buf_overrun)
                    ev |= EV_ERR;
                evtBase_ = now;
            }
        }
        // Report input once per arrival of new bytes, however much of it the reader leaves.
        const std::uint64_t arrived = consumed_ + static_cast<std::uint64_t>(std::max(inq, 0));
        if (inq > 0 && arrived > reportedArrived_ && (mask_ & EV_RXCHAR)) {
            reportedArrived_ = arrived;
            ev |= EV_RXCHAR;
        }
        const int mark = static_cast<int>(inQueue_ / 10 * 8);
        if (inq >= mark && inq > 0) {
            if (!rx80Reported_ && (mask_ & EV_RX80FULL)) {
                rx80Reported_ = true;
                ev |= EV_RX80FULL;
            }
        } else {
            rx80Reported_ = false;
        }
        if (txPending_) {
            int outq = 0;
            if (Sys([&] { return ioctl(fd_, TIOCOUTQ, &outq); }) != 0 || outq == 0) {
                txPending_ = false;
                ev |= EV_TXEMPTY;
            }
        }
        Note(ev);
        if (modemSampling_ && (mask_ & kModemEvents)) {
            int bits = 0;
            if (Sys([&] { return ioctl(fd_, TIOCMGET, &bits); }) == 0) NoteModemChange(modemBits_, bits);
        }
        return inq;
    }

    void MonitorLoop() {
        std::unique_lock lock(m_);
        while (!closing_) {
            pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd_, 0, 0}};
            nfds_t count = 1;
            int timeout = -1;
            const auto now = Clock::now();
            if (waitOv_ && !hungUp_) {
                const int inq = Evaluate();
                if (waitOv_) {
                    // Events 0 still reports a hang-up.
                    fds[1].events = inq == 0 ? POLLIN : 0;
                    count = 2;
                    auto shorter = [&](int ms) { timeout = timeout < 0 ? ms : std::min(timeout, ms); };
                    if (inq > 0 && (mask_ & EV_RXCHAR)) shorter(kUnreadSampleMs);
                    if (txPending_ && (mask_ & EV_TXEMPTY)) shorter(kDrainSampleMs);
                    if (modemSampling_ && (mask_ & kModemEvents)) shorter(kModemSampleMs);
                }
            }
            lock.unlock();
            PollUntil(fds, count, timeout < 0 ? Deadline{} : now + std::chrono::milliseconds(timeout));
            if (fds[0].revents & POLLIN) {
                std::uint64_t v;
                Sys([&] { return ::read(wakeFd_, &v, sizeof v); });
            }
            lock.lock();
            // A device that went away: stay quiet until closed, never spin on its POLLHUP.
            if (count == 2 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) hungUp_ = true;
        }
    }

    void ModemLoop() {
        const int watched = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
        while (!stopModem_) {
            int r = Sys([&] { return ioctl(fd_, TIOCMIWAIT, watched); }, &stopModem_);
            if (r != 0) {
                if (errno == EINTR) continue;
                if (NotSupported(errno)) { // fall back to sampling in the monitor
                    std::lock_guard lock(m_);
                    modemSampling_ = true;
                    Wake();
                } else if (errno == EIO) {
                    MarkHungUp();
                }
                break;
            }
            int bits = 0;
            if (Sys([&] { return ioctl(fd_, TIOCMGET, &bits); }) != 0) break;
            std::lock_guard lock(m_);
            NoteModemChange(modemBits_, bits);
        }
        std::lock_guard lock(m_);
        modemDone_ = true;
        modemDoneCond_.notify_all();
    }

    void StopModemThread() {
        if (!modem_.joinable()) return;
        stopModem_ = true;
        const int sig = WakeSignal();
        std::unique_lock lock(m_);
        // The signal can land just before the thread enters the ioctl, so repeat it.
        while (!modemDone_) {
            pthread_kill(modem_.native_handle(), sig);
            modemDoneCond_.wait_for(lock, std::chrono::milliseconds(10));
        }
        lock.unlock();
        modem_.join();
    }

    BOOL WaitBlocking(DWORD* mask) {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        BOOL ok = WaitCommEvent(mask, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            ok = WaitForSingleObject(ov.hEvent, INFINITE) == WAIT_OBJECT_0;
            const auto status = std::atomic_ref<std::uintptr_t>(ov.Internal).load();
            if (ok && status != 0) ok = FailCode(static_cast<DWORD>(status));
        }
        const DWORD err = GetLastError();
        CloseHandle(ov.hEvent);
        SetLastError(err);
        return ok;
    }

    std::mutex m_;
    std::condition_variable transfersDone_;
    std::condition_variable modemDoneCond_;
    int fd_, wakeFd_, abortFd_;
    bool closing_ = false;
    std::atomic<bool> hungUp_{false};
    COMMTIMEOUTS timeouts_{};
    DWORD inQueue_ = 4096;
    int activeTransfers_ = 0;
    std::uint64_t abortGeneration_ = 0;
    termios_map::InputFilter filter_;
    bool outDsrFlow_ = false;
    bool dsrSensitivity_ = false;
    bool drainPending_ = false; // written bytes FlushFileBuffers has not waited for yet
    Deadline drainDeadline_;    // when their writes' time ran out (none: no limit)

    // Events.
    DWORD mask_ = 0;
    DWORD history_ = 0; // armed events that happened while no wait was pending
    DWORD* waitMask_ = nullptr;
    OVERLAPPED* waitOv_ = nullptr;
    std::uint64_t consumed_ = 0; // bytes read or purged since open
    std::uint64_t reportedArrived_ = 0;
    bool rx80Reported_ = false;
    bool txPending_ = false;
    bool haveICount_ = false;
    serial_icounter_struct errBase_{}; // line errors: since the last ClearCommError
    serial_icounter_struct evtBase_{}; // EV_ERR / EV_BREAK: since the last look
    bool modemSupported_ = false;
    bool modemSampling_ = false;
    int modemBits_ = 0;
    std::thread monitor_;
    std::thread modem_;
    std::atomic<bool> stopModem_{false};
    bool modemDone_ = false;
};

class PosixBackend : public SerialBackend {
public:
    std::shared_ptr<SerialDevice> Open(const std::string& name, DWORD, DWORD) override {
        const std::string path = SerialDevicePath(name);
        int fd = Sys([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
        if (fd < 0) {
            FailErrno(errno);
            return nullptr;
        }
        auto fail = [&](int e) -> std::shared_ptr<SerialDevice> {
            ::close(fd);
            FailErrno(e);
            return nullptr;
        };
        termios2 t{};
        if (Sys([&] { return ioctl(fd, TCGETS2, &t); }) != 0) return fail(errno); // not a terminal
        // Exclusive: another program, or another handle of ours, holding the port makes us fail.
        if (Sys([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) return fail(errno);
        if (Sys([&] { return ioctl(fd, TIOCEXCL); }) != 0 && !NotSupported(errno)) return fail(errno);
        int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0) return fail(errno);
        int abortFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (abortFd < 0) {
            const int e = errno;
            ::close(wakeFd);
            return fail(e);
        }
        return std::make_shared<PosixDevice>(fd, wakeFd, abortFd);
    }
};

} // namespace

SerialBackend& DefaultSerialBackend() {
    static PosixBackend backend;
    return backend;
}

} // namespace platform
