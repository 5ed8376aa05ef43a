// The event thread and the raising of device events.
#include "CPort.h"

#include "platform/GuiSync.h"

#include <array>
#include <utility>

using namespace platform;

namespace {

constexpr UINT kPortEventMessage = WM_USER + 1;

// Mask bit of each event, indexed by ordinal.
constexpr std::array<DWORD, 10> kEventMask = {EV_RXCHAR, EV_TXEMPTY, EV_RXFLAG, EV_RING, EV_BREAK,
                                              EV_CTS,    EV_DSR,     EV_ERR,    EV_RLSD, EV_RX80FULL};

// The order in which one batch of events is raised.
constexpr std::array<TComEvent, 10> kRaiseOrder = {evError, evRxChar, evTxEmpty, evBreak, evRing,
                                                   evCTS,   evDSR,    evRxFlag,  evRLSD,  evRx80Full};

// Event threads of destroyed ports that have not yet ended.
std::atomic<int> gOrphans{0};

} // namespace

DWORD EventsToMask(TComEvents events) {
    DWORD mask = 0;
    for (std::size_t i = 0; i < kEventMask.size(); ++i)
        if (events.Contains(static_cast<TComEvent>(i))) mask |= kEventMask[i];
    return mask;
}

TComEvents MaskToEvents(DWORD mask) {
    TComEvents events;
    for (std::size_t i = 0; i < kEventMask.size(); ++i)
        if (mask & kEventMask[i]) events.Include(static_cast<TComEvent>(i));
    return events;
}

// ---------------------------------------------------------------------------
// Raising steps (the port's side)

void TCustomComPort::RaiseEventStep(TComEvent Event) {
    switch (Event) {
    case evError: {
        TComErrors errors = TakeLineErrors();
        if (!errors.Empty()) DoError(errors);
        break;
    }
    case evRxChar: {
        std::int32_t count = InputQueueCount();
        if (count > 0) DoRxChar(count);
        break;
    }
    case evTxEmpty:
        DoTxEmpty();
        break;
    case evBreak:
        DoBreak();
        break;
    case evRing:
        DoRing();
        break;
    case evCTS:
        DoCTSChange(LineSignals().Contains(lsCTS));
        break;
    case evDSR:
        DoDSRChange(LineSignals().Contains(lsDSR));
        break;
    case evRxFlag:
        DoRxFlag();
        break;
    case evRLSD:
        DoRLSDChange(LineSignals().Contains(lsRLSD));
        break;
    case evRx80Full:
        DoRx80Full();
        break;
    }
}

LRESULT TCustomComPort::HandleEventMessage(UINT Msg, WPARAM WParam, LPARAM LParam) {
    if (Msg != kPortEventMessage) return DefWindowProcA(FWindow, Msg, WParam, LParam);
    // Let the event thread go on at once.
    if (InSendMessage()) ReplyMessage(0);
    // Close serves sent messages while it waits for the thread: they raise nothing.
    if (!FConnected || FClosing) return 0;
    TComEvent ev;
    switch (WParam) {
    case EV_RXCHAR:
        ev = evRxChar;
        break;
    case EV_RXFLAG:
        ev = evRxFlag;
        break;
    case EV_TXEMPTY:
        ev = evTxEmpty;
        break;
    case EV_CTS:
        ev = evCTS;
        break;
    case EV_DSR:
        ev = evDSR;
        break;
    case EV_RLSD:
        ev = evRLSD;
        break;
    case EV_BREAK:
        ev = evBreak;
        break;
    case EV_ERR:
        ev = evError;
        break;
    case EV_RING:
        ev = evRing;
        break;
    case EV_RX80FULL:
        ev = evRx80Full;
        break;
    default:
        return 0;
    }
    try {
        RaiseEventStep(ev);
    } catch (...) {
        if (ApplicationHandleException) ApplicationHandleException(std::current_exception());
    }
    return 0;
}

// ---------------------------------------------------------------------------
// TComThread

TComThread::TComThread(TCustomComPort* ComPort) : FComPort(ComPort), FDevice(ComPort->Handle()) {
    FStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    FEvents = ComPort->Events();
    SetCommMask(FDevice, EventsToMask(FEvents));
    FThread = std::thread([this] { Execute(); });
}

TComThread::~TComThread() {
    // An orphan frees itself on its own thread once its handles are closed:
    // there is nothing to stop or wait for, and at process exit the hand-over's
    // state may already be gone.
    if (FOrphaned.load()) return;
    RequestStop();
    // On the GUI thread this keeps serving hand-overs, so a thread blocked in
    // one can reach its stop check.
    WaitFor([this] { return FFinished.load(); });
    if (FThread.joinable()) FThread.join();
    if (FStopEvent) CloseHandle(FStopEvent);
}

int TComThread::Orphans() {
    return gOrphans.load();
}

void TComThread::Orphan() {
    gOrphans.fetch_add(1);
    FOrphaned.store(true);
    RequestStop();
    FThread.detach();
}

void TComThread::RequestStop() {
    if (FStopEvent) SetEvent(FStopEvent);
    std::this_thread::yield();
}

std::exception_ptr TComThread::FatalException() const {
    // Written by the thread before FFinished; read only after it.
    return FFinished.load() ? FFatalException : nullptr;
}

void TComThread::Execute() {
    FThreadId.store(std::this_thread::get_id());
    const HANDLE device = FDevice;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const HANDLE waitList[2] = {FStopEvent, ov.hEvent};
    DWORD mask = 0; // outlives any pending wait
    try {
        for (;;) {
            mask = 0;
            WaitCommEvent(device, &mask, &ov);
            DWORD r = WaitForMultipleObjects(2, waitList, FALSE, INFINITE);
            if (r != WAIT_OBJECT_0 + 1) break;
            DWORD unused = 0;
            if (GetOverlappedResult(device, &ov, &unused, FALSE)) {
                FReceived = MaskToEvents(mask);
                DispatchEvents();
            }
            if (FOrphaned.load()) break;
        }
        SetCommMask(device, 0);
        // What WriteText reported as written goes out before the queues are discarded.
        FlushFileBuffers(device);
        PurgeComm(device, PURGE_TXCLEAR | PURGE_RXCLEAR);
    } catch (...) {
        // Ends delivery for this connection; the port stays open and Close()
        // later finds the thread finished.
        FFatalException = std::current_exception();
    }
    CloseHandle(ov.hEvent);
    if (FOrphaned.load()) {
        CloseHandle(device);
        CloseHandle(FStopEvent);
        FFinished.store(true);
        delete this; // nobody else holds it any more
        gOrphans.fetch_sub(1);
        return;
    }
    FFinished.store(true);
    WakeWaiters();
}

void TComThread::RaiseEvents(TComEvents Events) {
    for (TComEvent ev : kRaiseOrder) {
        if (FOrphaned.load()) return; // a handler destroyed the port
        if (Events.Contains(ev)) FComPort->RaiseEventStep(ev);
    }
}

void TComThread::DispatchEvents() {
    switch (FComPort->SyncMethod()) {
    case smThreadSync: {
        const TComEvents received = FReceived;
        Synchronize([this, received] {
            // Close() must know that this thread waits for the handlers.
            struct HandOver {
                bool& flag;
                explicit HandOver(bool& f) : flag(f) { flag = true; }
                ~HandOver() { flag = false; }
            } handOver(FInHandOver);
            RaiseEvents(received);
        });
        break;
    }
    case smWindowSync:
        SendEventMessages();
        break;
    case smNone:
        RaiseEvents(FReceived);
        break;
    }
}

void TComThread::SendEventMessages() {
    for (TComEvent ev : kRaiseOrder)
        if (FReceived.Contains(ev))
            SendMessageA(FComPort->FWindow, kPortEventMessage, kEventMask[static_cast<std::size_t>(ev)], 0);
}
