#include "SerialFake.h"

#include <algorithm>
#include <cerrno>

namespace platform {

namespace {

std::string StripPrefix(const std::string& path) {
    return path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
}

// One lock for every fake, so a device can find out safely that its fake is gone.
std::mutex& SharedMutex() {
    static std::mutex m;
    return m;
}

std::int64_t Char(char c) {
    return static_cast<std::int64_t>(static_cast<unsigned char>(c));
}

// The DCB's flag bits as one word, fBinary in bit 0.
DWORD FlagsWord(const DCB& d) {
    return d.fBinary | d.fParity << 1 | d.fOutxCtsFlow << 2 | d.fOutxDsrFlow << 3 | d.fDtrControl << 4 |
           d.fDsrSensitivity << 6 | d.fTXContinueOnXoff << 7 | d.fOutX << 8 | d.fInX << 9 |
           d.fErrorChar << 10 | d.fNull << 11 | d.fRtsControl << 12 | d.fAbortOnError << 14 | d.fDummy2 << 15;
}

} // namespace

class FakeSerial::Device : public SerialDevice {
    friend class FakeSerial;

public:
    explicit Device(FakeSerial& fake) : f(&fake) {}
    ~Device() override { Close(); }

    BOOL Close() override {
        std::lock_guard lock(SharedMutex());
        if (closed || !f) return TRUE;
        closed = true;
        --f->open_;
        std::erase(f->live_, this);
        f->Record({"CloseHandle", {}, {}});
        // A wait still pending ends as aborted, as on a real device.
        if (f->waitOv_ && f->waitOwner_ == this) {
            OVERLAPPED* ov = f->waitOv_;
            f->waitOv_ = nullptr;
            f->waitMask_ = nullptr;
            overlapped::Complete(ov, ERROR_OPERATION_ABORTED, 0);
        }
        return TRUE;
    }

    BOOL SetupComm(DWORD in, DWORD out) override {
        return Op({"SetupComm", {in, out}, {}}, [] { return TRUE; });
    }

    BOOL SetCommState(const DCB& d) override {
        return Op({"SetCommState",
                   {d.BaudRate, FlagsWord(d), d.XonLim, d.XoffLim, d.ByteSize, d.Parity, d.StopBits,
                    Char(d.XonChar), Char(d.XoffChar), Char(d.ErrorChar), Char(d.EofChar), Char(d.EvtChar)},
                   {}},
                  [&] {
                      f->lastDcb_ = d;
                      return TRUE;
                  });
    }

    BOOL SetCommTimeouts(const COMMTIMEOUTS& t) override {
        return Op({"SetCommTimeouts",
                   {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                    t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant},
                   {}},
                  [&] {
                      f->lastTimeouts_ = t;
                      return TRUE;
                  });
    }

    BOOL ClearCommError(DWORD* errors, COMSTAT* stat) override {
        return Op({"ClearCommError", {}, {}}, [&] {
            if (errors) *errors = f->errors_;
            f->errors_ = 0;
            if (stat) *stat = COMSTAT{0, static_cast<DWORD>(f->input_.size()), f->outQueue_};
            return TRUE;
        });
    }

    BOOL GetCommModemStatus(DWORD* status) override {
        return Op({"GetCommModemStatus", {}, {}}, [&] {
            *status = f->modem_;
            return TRUE;
        });
    }

    BOOL PurgeComm(DWORD flags) override {
        return Op({"PurgeComm", {flags}, {}}, [&] {
            if (flags & PURGE_RXCLEAR) f->input_.clear();
            if (flags & PURGE_TXCLEAR) f->outQueue_ = 0;
            return TRUE;
        });
    }

    BOOL FlushFileBuffers() override {
        return Op({"FlushFileBuffers", {}, {}}, [] { return TRUE; });
    }

    BOOL WriteFile(const void* buf, DWORD n, DWORD* written, OVERLAPPED* ov) override {
        std::string bytes(static_cast<const char*>(buf), n);
        if (written) *written = 0;
        return Op(
            {"WriteFile", {n}, bytes},
            [&] {
                f->written_ += bytes;
                if (written) *written = n;
                if (ov) overlapped::Complete(ov, 0, n);
                return TRUE;
            },
            ov);
    }

    BOOL ReadFile(void* buf, DWORD n, DWORD* read, OVERLAPPED* ov) override {
        if (read) *read = 0;
        return Op(
            {"ReadFile", {n}, {}},
            [&] {
                const DWORD k = std::min<DWORD>(n, static_cast<DWORD>(f->input_.size()));
                std::copy_n(f->input_.data(), k, static_cast<char*>(buf));
                f->input_.erase(0, k);
                if (read) *read = k;
                if (ov) overlapped::Complete(ov, 0, k);
                return TRUE;
            },
            ov);
    }

    BOOL SetCommMask(DWORD mask) override {
        return Op({"SetCommMask", {mask}, {}}, [&] {
            f->mask_ = mask;
            f->held_ = 0;
            if (f->waitOv_) f->CompleteWaitLocked(0);
            return TRUE;
        });
    }

    BOOL WaitCommEvent(DWORD* mask, OVERLAPPED* ov) override {
        return Op({"WaitCommEvent", {}, {}}, [&] {
            if (!ov) { // no blocking waits in the fake: only held events
                *mask = f->held_;
                f->held_ = 0;
                return TRUE;
            }
            *mask = 0;
            overlapped::Start(ov);
            f->waitMask_ = mask;
            f->waitOv_ = ov;
            f->waitOwner_ = this;
            if (f->held_) {
                const DWORD held = f->held_;
                f->held_ = 0;
                f->CompleteWaitLocked(held);
            }
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        });
    }

private:
    // Records the call, applies a chosen failure, else runs `body` (all under the fake's lock).
    template <class Body> BOOL Op(Call call, Body body, OVERLAPPED* ov = nullptr) {
        std::lock_guard lock(SharedMutex());
        if (!f) { // the fake went before the handle
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const std::string op = call.op;
        f->Record(std::move(call));
        if (closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        DWORD code = 0;
        if (f->ShouldFail(op, &code)) {
            if (ov) overlapped::Complete(ov, code, 0);
            SetLastError(code);
            return FALSE;
        }
        return body();
    }

    FakeSerial* f; // null once the fake is gone; guarded by the shared lock
    bool closed = false;
};

FakeSerial::FakeSerial() : mutex_(SharedMutex()) {
    SetSerialBackend(this);
}

FakeSerial::~FakeSerial() {
    SetSerialBackend(nullptr);
    std::lock_guard lock(mutex_);
    for (Device* d : live_)
        d->f = nullptr;
}

std::shared_ptr<SerialDevice> FakeSerial::Open(const std::string& path, DWORD, DWORD) {
    std::lock_guard lock(mutex_);
    Record({"CreateFileA", {}, path});
    DWORD code = 0;
    if (ShouldFail("CreateFileA", &code)) {
        SetLastError(code);
        return nullptr;
    }
    const std::string name = StripPrefix(path);
    if (std::find(devices_.begin(), devices_.end(), name) == devices_.end()) {
        SetLastError(ENOENT);
        return nullptr;
    }
    ++open_;
    auto device = std::make_shared<Device>(*this);
    live_.push_back(device.get());
    return device;
}

std::vector<FakeSerial::Call> FakeSerial::Calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> FakeSerial::Ops() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> ops;
    for (const auto& c : calls_)
        ops.push_back(c.op);
    return ops;
}

void FakeSerial::ClearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

DCB FakeSerial::LastDcb() const {
    std::lock_guard lock(mutex_);
    return lastDcb_;
}

COMMTIMEOUTS FakeSerial::LastTimeouts() const {
    std::lock_guard lock(mutex_);
    return lastTimeouts_;
}

DWORD FakeSerial::Mask() const {
    std::lock_guard lock(mutex_);
    return mask_;
}

void FakeSerial::AddDevice(const std::string& name) {
    std::lock_guard lock(mutex_);
    devices_.push_back(StripPrefix(name));
}

void FakeSerial::QueueInput(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    input_ += bytes;
    if (!bytes.empty() && (mask_ & EV_RXCHAR)) RaiseLocked(EV_RXCHAR);
}

std::string FakeSerial::PendingInput() const {
    std::lock_guard lock(mutex_);
    return input_;
}

void FakeSerial::RaiseEvents(DWORD mask) {
    std::lock_guard lock(mutex_);
    RaiseLocked(mask);
}

void FakeSerial::RaiseLocked(DWORD mask) {
    held_ |= mask;
    if (waitOv_) {
        const DWORD events = held_;
        held_ = 0;
        CompleteWaitLocked(events);
    }
}

void FakeSerial::SetModemStatus(DWORD bits) {
    std::lock_guard lock(mutex_);
    modem_ = bits;
}

void FakeSerial::SetErrors(DWORD flags) {
    std::lock_guard lock(mutex_);
    errors_ = flags;
}

void FakeSerial::SetOutputQueue(DWORD count) {
    std::lock_guard lock(mutex_);
    outQueue_ = count;
}

void FakeSerial::FailNext(const std::string& op, DWORD code) {
    std::lock_guard lock(mutex_);
    failNext_.emplace_back(op, code);
}

void FakeSerial::FailAlways(const std::string& op, DWORD code) {
    std::lock_guard lock(mutex_);
    failAlways_.emplace_back(op, code);
}

void FakeSerial::ClearFailures() {
    std::lock_guard lock(mutex_);
    failNext_.clear();
    failAlways_.clear();
}

std::string FakeSerial::Written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

bool FakeSerial::WaitPending() const {
    std::lock_guard lock(mutex_);
    return waitOv_ != nullptr;
}

int FakeSerial::OpenDevices() const {
    std::lock_guard lock(mutex_);
    return open_;
}

bool FakeSerial::ShouldFail(const std::string& op, DWORD* code) {
    for (auto it = failNext_.begin(); it != failNext_.end(); ++it) {
        if (it->first == op) {
            *code = it->second;
            failNext_.erase(it);
            return true;
        }
    }
    for (const auto& [name, c] : failAlways_) {
        if (name == op) {
            *code = c;
            return true;
        }
    }
    return false;
}

void FakeSerial::Record(Call c) {
    calls_.push_back(std::move(c));
}

void FakeSerial::CompleteWaitLocked(DWORD mask) {
    OVERLAPPED* ov = waitOv_;
    *waitMask_ = mask;
    waitOv_ = nullptr;
    waitMask_ = nullptr;
    waitOwner_ = nullptr;
    overlapped::Complete(ov, 0, sizeof(DWORD));
}

} // namespace platform
