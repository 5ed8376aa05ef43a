// Handles, events and the dispatch of device operations to their backend.
#include "WinSerial.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

thread_local DWORD tLastError = 0;

std::atomic<SerialBackend*> gBackend{nullptr};

struct Event {
    bool manualReset = true;
    bool signalled = false; // guarded by the events' lock
};

struct HandleEntry {
    std::shared_ptr<Event> event;
    std::shared_ptr<SerialDevice> device;
};

// The handle table and the events' one lock and condition (a handful of events
// exist at a time, and a waiter on several of them needs a single place to
// sleep). Made once and never destroyed: a port destroyed in its own handler
// leaves its event thread to close its handles by itself, which may happen
// while the process runs its exit and destroys its other globals.
struct Globals {
    std::mutex eventMutex;
    std::condition_variable eventCond;
    std::mutex handleMutex;
    std::unordered_map<HANDLE, HandleEntry> handles;
};

Globals& TheGlobals() {
    static Globals* const globals = new Globals;
    return *globals;
}

HandleEntry Lookup(HANDLE h) {
    Globals& g = TheGlobals();
    std::lock_guard lock(g.handleMutex);
    auto it = g.handles.find(h);
    return it == g.handles.end() ? HandleEntry{} : it->second;
}

std::shared_ptr<SerialDevice> DeviceOf(HANDLE h) {
    auto d = Lookup(h).device;
    if (!d) SetLastError(ERROR_INVALID_HANDLE);
    return d;
}

HANDLE Register(HandleEntry entry) {
    HANDLE h = entry.event ? static_cast<HANDLE>(entry.event.get()) : static_cast<HANDLE>(entry.device.get());
    Globals& g = TheGlobals();
    std::lock_guard lock(g.handleMutex);
    g.handles.emplace(h, std::move(entry));
    return h;
}

// Takes the signal of an auto-reset event that a waiter has seen. The events' lock held.
void Consume(Event& e) {
    if (!e.manualReset) e.signalled = false;
}

BOOL InvalidParameter() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

} // namespace

DWORD GetLastError() {
    return tLastError;
}
void SetLastError(DWORD code) {
    tLastError = code;
}

void SetSerialBackend(SerialBackend* b) {
    gBackend.store(b);
}

std::string SerialDevicePath(const std::string& nameOrPath) {
    std::string name = nameOrPath;
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    if (!name.empty() && name[0] == '/') return name;
    if (name.size() > 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0)) {
        bool digits = true;
        for (std::size_t i = 3; i < name.size(); ++i)
            digits = digits && name[i] >= '0' && name[i] <= '9';
        if (digits && name.size() < 12) {
            long n = std::stol(name.substr(3));
            if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
        }
    }
    return "/dev/" + name;
}

HANDLE CreateFileA(const char* name, DWORD access, DWORD, void*, DWORD disposition, DWORD flags, HANDLE) {
    if (!name || disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    SerialBackend* backend = gBackend.load();
    if (!backend) backend = &DefaultSerialBackend();
    auto device = backend->Open(name, access, flags);
    if (!device) return INVALID_HANDLE_VALUE;
    return Register(HandleEntry{nullptr, std::move(device)});
}

BOOL CloseHandle(HANDLE h) {
    HandleEntry entry;
    {
        Globals& g = TheGlobals();
        std::lock_guard lock(g.handleMutex);
        auto it = g.handles.find(h);
        if (it == g.handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        entry = std::move(it->second);
        g.handles.erase(it);
    }
    if (entry.device) return entry.device->Close();
    return TRUE;
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    auto d = DeviceOf(h);
    return d ? d->SetupComm(inQueue, outQueue) : FALSE;
}

BOOL SetCommState(HANDLE h, const DCB* dcb) {
    auto d = DeviceOf(h);
    if (!d) return FALSE;
    return dcb ? d->SetCommState(*dcb) : InvalidParameter();
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* t) {
    auto d = DeviceOf(h);
    if (!d) return FALSE;
    return t ? d->SetCommTimeouts(*t) : InvalidParameter();
}

BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    auto d = DeviceOf(h);
    return d ? d->ClearCommError(errors, stat) : FALSE;
}

BOOL GetCommModemStatus(HANDLE h, DWORD* status) {
    auto d = DeviceOf(h);
    if (!d) return FALSE;
    return status ? d->GetCommModemStatus(status) : InvalidParameter();
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    auto d = DeviceOf(h);
    return d ? d->PurgeComm(flags) : FALSE;
}

BOOL FlushFileBuffers(HANDLE h) {
    auto d = DeviceOf(h);
    return d ? d->FlushFileBuffers() : FALSE;
}

BOOL WriteFile(HANDLE h, const void* buf, DWORD n, DWORD* written, OVERLAPPED* ov) {
    auto d = DeviceOf(h);
    if (!d) return FALSE;
    if (!buf && n > 0) return InvalidParameter();
    return d->WriteFile(buf, n, written, ov);
}

BOOL ReadFile(HANDLE h, void* buf, DWORD n, DWORD* read, OVERLAPPED* ov) {
    auto d = DeviceOf(h);
    if (!d) return FALSE;
    if (!buf && n > 0) return InvalidParameter();
    return d->ReadFile(buf, n, read, ov);
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    auto d = DeviceOf(h);
    return d ? d->SetCommMask(mask) : FALSE;
}

BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) {
    auto d = DeviceOf(h);
    if (!d) return FALSE;
    return mask ? d->WaitCommEvent(mask, ov) : InvalidParameter();
}

BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait) {
    if (!ov) return InvalidParameter();
    if (!Lookup(h).device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::atomic_ref<std::uintptr_t> status(ov->Internal);
    if (status.load(std::memory_order_acquire) == overlapped::kPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (!ov->hEvent) {
            // No event to sleep on: the block itself is the only sign of completion.
            while (status.load(std::memory_order_acquire) == overlapped::kPending) {
                Globals& g = TheGlobals();
                std::unique_lock lock(g.eventMutex);
                g.eventCond.wait_for(lock, std::chrono::milliseconds(10));
            }
        } else {
            while (status.load(std::memory_order_acquire) == overlapped::kPending) {
                if (WaitForSingleObject(ov->hEvent, INFINITE) != WAIT_OBJECT_0) return FALSE;
            }
        }
    }
    std::uintptr_t code = status.load(std::memory_order_acquire);
    if (transferred) *transferred = static_cast<DWORD>(ov->InternalHigh);
    if (code != 0) {
        SetLastError(static_cast<DWORD>(code));
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) {
    auto e = std::make_shared<Event>();
    e->manualReset = manualReset != FALSE;
    e->signalled = initialState != FALSE;
    return Register(HandleEntry{std::move(e), nullptr});
}

BOOL SetEvent(HANDLE h) {
    auto e = Lookup(h).event;
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard lock(TheGlobals().eventMutex);
        e->signalled = true;
    }
    TheGlobals().eventCond.notify_all();
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    auto e = Lookup(h).event;
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(TheGlobals().eventMutex);
    e->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    return WaitForMultipleObjects(1, &h, FALSE, ms);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
    if (count == 0 || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Only events can be waited on here; a device handle is never signalled by itself.
    std::vector<std::shared_ptr<Event>> events;
    events.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto e = Lookup(handles[i]).event;
        if (!e) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        events.push_back(std::move(e));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    Globals& g = TheGlobals();
    std::unique_lock lock(g.eventMutex);
    bool timedOut = false;
    for (;;) {
        if (waitAll) {
            bool all = true;
            for (auto& e : events)
                all = all && e->signalled;
            if (all) {
                for (auto& e : events)
                    Consume(*e);
                return WAIT_OBJECT_0;
            }
        } else {
            for (DWORD i = 0; i < count; ++i) {
                if (events[i]->signalled) {
                    Consume(*events[i]);
                    return WAIT_OBJECT_0 + i;
                }
            }
        }
        if (timedOut) return WAIT_TIMEOUT;
        if (ms == INFINITE)
            g.eventCond.wait(lock);
        else
            timedOut = g.eventCond.wait_until(lock, deadline) == std::cv_status::timeout;
    }
}

namespace overlapped {

void Start(OVERLAPPED* ov) {
    if (ov->hEvent) ResetEvent(ov->hEvent);
    ov->InternalHigh = 0;
    std::atomic_ref<std::uintptr_t>(ov->Internal).store(kPending, std::memory_order_release);
}

void Complete(OVERLAPPED* ov, DWORD error, DWORD bytes) {
    ov->InternalHigh = bytes;
    std::atomic_ref<std::uintptr_t>(ov->Internal).store(error, std::memory_order_release);
    if (ov->hEvent)
        SetEvent(ov->hEvent);
    else
        TheGlobals().eventCond.notify_all();
}

} // namespace overlapped

} // namespace platform
