// The port: settings objects, open/close, applying settings, transfers, queries.
#include "CPort.h"

#include "platform/Translate.h"

#include <array>
#include <iostream>

using namespace platform;

namespace {

constexpr const char* kDomain = "cport";

constexpr std::array<const char*, 23> kMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

// The table, translated once on first use.
const std::array<std::string, 23>& Messages() {
    static const std::array<std::string, 23> table = [] {
        BindDomain(kDomain);
        std::array<std::string, 23> t;
        for (std::size_t i = 0; i < kMessages.size(); ++i)
            t[i] = Translate(kDomain, kMessages[i]);
        return t;
    }();
    return table;
}

std::string BuildMessage(int code, bool withSystemCode, std::int32_t systemCode) {
    std::string msg = ComErrorMessage(code);
    if (!withSystemCode) return msg;
    // The format comes from a catalogue: substitute the number ourselves rather
    // than hand a foreign text to printf.
    std::string suffix = Translate(kDomain, " (win error code: %d)");
    auto pos = suffix.find("%d");
    if (pos != std::string::npos) suffix.replace(pos, 2, std::to_string(systemCode));
    return msg + suffix;
}

std::int32_t LastError() {
    return static_cast<std::int32_t>(GetLastError());
}

constexpr std::array<std::int32_t, 16> kBaudRates = {
    0, 110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

} // namespace

// ---------------------------------------------------------------------------
// Failures

std::string ComErrorMessage(int code) {
    if (code < 1 || code > static_cast<int>(kMessages.size())) return {};
    return Messages()[static_cast<std::size_t>(code - 1)];
}

EComPort::EComPort(int messageCode)
    : std::runtime_error(BuildMessage(messageCode, false, -1)), FMessageCode(messageCode), FSystemCode(-1) {}

EComPort::EComPort(int messageCode, std::int32_t systemCode)
    : std::runtime_error(BuildMessage(messageCode, true, systemCode)), FMessageCode(messageCode),
      FSystemCode(systemCode) {}

std::function<void(std::exception_ptr)> ApplicationHandleException = [](std::exception_ptr e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const std::exception& ex) {
        std::cerr << "Unhandled exception: " << ex.what() << '\n';
    } catch (...) {
        std::cerr << "Unhandled exception\n";
    }
};

std::int32_t BaudRateValue(TBaudRate BaudRate) {
    auto i = static_cast<std::size_t>(BaudRate);
    return i < kBaudRates.size() ? kBaudRates[i] : 0;
}

// ---------------------------------------------------------------------------
// Settings objects

void TComTimeouts::CopyFields(const TComTimeouts& s) {
    FReadInterval = s.FReadInterval;
    FReadTotalMultiplier = s.FReadTotalMultiplier;
    FReadTotalConstant = s.FReadTotalConstant;
    FWriteTotalMultiplier = s.FWriteTotalMultiplier;
    FWriteTotalConstant = s.FWriteTotalConstant;
}
void TComTimeouts::Changed() {
    if (FComPort) FComPort->ApplyTimeoutSettings();
}
void TComTimeouts::SetReadInterval(std::int32_t Value) {
    FReadInterval = Value;
    Changed();
}
void TComTimeouts::SetReadTotalMultiplier(std::int32_t Value) {
    FReadTotalMultiplier = Value;
    Changed();
}
void TComTimeouts::SetReadTotalConstant(std::int32_t Value) {
    FReadTotalConstant = Value;
    Changed();
}
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t Value) {
    FWriteTotalMultiplier = Value;
    Changed();
}
void TComTimeouts::SetWriteTotalConstant(std::int32_t Value) {
    FWriteTotalConstant = Value;
    Changed();
}

void TComFlowControl::CopyFields(const TComFlowControl& s) {
    FOutCTSFlow = s.FOutCTSFlow;
    FOutDSRFlow = s.FOutDSRFlow;
    FControlDTR = s.FControlDTR;
    FControlRTS = s.FControlRTS;
    FXonXoffOut = s.FXonXoffOut;
    FXonXoffIn = s.FXonXoffIn;
    FDSRSensitivity = s.FDSRSensitivity;
    FTxContinueOnXoff = s.FTxContinueOnXoff;
    FXonChar = s.FXonChar;
    FXoffChar = s.FXoffChar;
}
void TComFlowControl::Changed() {
    if (FComPort) FComPort->ApplyLineSettings();
}
void TComFlowControl::SetOutCTSFlow(bool Value) {
    FOutCTSFlow = Value;
    Changed();
}
void TComFlowControl::SetOutDSRFlow(bool Value) {
    FOutDSRFlow = Value;
    Changed();
}
void TComFlowControl::SetControlDTR(TDTRFlowControl Value) {
    FControlDTR = Value;
    Changed();
}
void TComFlowControl::SetControlRTS(TRTSFlowControl Value) {
    FControlRTS = Value;
    Changed();
}
void TComFlowControl::SetXonXoffOut(bool Value) {
    FXonXoffOut = Value;
    Changed();
}
void TComFlowControl::SetXonXoffIn(bool Value) {
    FXonXoffIn = Value;
    Changed();
}
void TComFlowControl::SetDSRSensitivity(bool Value) {
    FDSRSensitivity = Value;
    Changed();
}
void TComFlowControl::SetTxContinueOnXoff(bool Value) {
    FTxContinueOnXoff = Value;
    Changed();
}
void TComFlowControl::SetXonChar(char Value) {
    FXonChar = Value;
    Changed();
}
void TComFlowControl::SetXoffChar(char Value) {
    FXoffChar = Value;
    Changed();
}

TFlowControl TComFlowControl::FlowControl() const {
    if (FControlRTS == rtsHandshake && FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcHardware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && FXonXoffIn && FXonXoffOut) return fcSoftware;
    if (FControlRTS == rtsDisable && !FOutCTSFlow && !FXonXoffIn && !FXonXoffOut) return fcNone;
    return fcCustom;
}

void TComFlowControl::SetFlowControl(TFlowControl Value) {
    if (Value != fcCustom) {
        FControlRTS = rtsDisable;
        FOutCTSFlow = false;
        FXonXoffIn = false;
        FXonXoffOut = false;
        if (Value == fcHardware) {
            FControlRTS = rtsHandshake;
            FOutCTSFlow = true;
        } else if (Value == fcSoftware) {
            FXonXoffIn = true;
            FXonXoffOut = true;
        }
    }
    Changed();
}

void TComParity::CopyFields(const TComParity& s) {
    FBits = s.FBits;
    FCheck = s.FCheck;
    FReplace = s.FReplace;
    FReplaceChar = s.FReplaceChar;
}
void TComParity::Changed() {
    if (FComPort) FComPort->ApplyLineSettings();
}
void TComParity::SetBits(TParityBits Value) {
    FBits = Value;
    Changed();
}
void TComParity::SetCheck(bool Value) {
    FCheck = Value;
    Changed();
}
void TComParity::SetReplace(bool Value) {
    FReplace = Value;
    Changed();
}
void TComParity::SetReplaceChar(char Value) {
    FReplaceChar = Value;
    Changed();
}

void TComBuffer::CopyFields(const TComBuffer& s) {
    FInputSize = s.FInputSize;
    FOutputSize = s.FOutputSize;
}
void TComBuffer::Changed() {
    if (FComPort) FComPort->ApplyQueueSizes();
}
static std::int32_t EvenSize(std::int32_t v) {
    return (v > 0 && v % 2 != 0) ? v - 1 : v;
}
void TComBuffer::SetInputSize(std::int32_t Value) {
    FInputSize = EvenSize(Value);
    Changed();
}
void TComBuffer::SetOutputSize(std::int32_t Value) {
    FOutputSize = EvenSize(Value);
    Changed();
}

// ---------------------------------------------------------------------------
// The port: lifecycle and properties

TCustomComPort::TCustomComPort() = default;

TCustomComPort::~TCustomComPort() {
    if (FConnected && InsideOwnEvent()) {
        CloseInsideOwnEvent();
    } else {
        try {
            Close();
        } catch (...) {
            // A failing purge must not leave a thread or the device behind.
        }
    }
    FEventThread.reset();
    if (FWindow) DeallocateHWnd(FWindow);
    FWindow = 0;
    CloseDevice();
}

void TCustomComPort::Loaded() {
    FLoading = false;
    if (FConnected) {
        FConnected = false;
        try {
            Open();
        } catch (...) {
            if (ApplicationHandleException) ApplicationHandleException(std::current_exception());
        }
    }
}

void TCustomComPort::SetConnected(bool Value) {
    if (FLoading) {
        FConnected = Value;
        return;
    }
    if (Value == FConnected) return;
    if (Value)
        Open();
    else
        Close();
}

void TCustomComPort::SetBaudRate(TBaudRate Value) {
    if (Value == FBaudRate) return;
    FBaudRate = Value;
    ApplyLineSettings();
}

void TCustomComPort::SetCustomBaudRate(std::int32_t Value) {
    if (Value == FCustomBaudRate) return;
    FCustomBaudRate = Value;
    ApplyLineSettings();
}

void TCustomComPort::SetPort(const std::string& Value) {
    if (Value == FPort) return;
    if (FConnected && !FLoading) {
        Close();
        FPort = Value;
        Open();
    } else {
        FPort = Value;
    }
}

void TCustomComPort::SetParity(const TComParity& Value) {
    FParity = Value;
    ApplyLineSettings();
}

void TCustomComPort::SetStopBits(TStopBits Value) {
    if (Value == FStopBits) return;
    FStopBits = Value;
    ApplyLineSettings();
}

void TCustomComPort::SetDataBits(TDataBits Value) {
    if (Value == FDataBits) return;
    FDataBits = Value;
    ApplyLineSettings();
}

void TCustomComPort::SetDiscardNull(bool Value) {
    if (Value == FDiscardNull) return;
    FDiscardNull = Value;
    ApplyLineSettings();
}

void TCustomComPort::SetEventChar(char Value) {
    if (Value == FEventChar) return;
    FEventChar = Value;
    ApplyLineSettings();
}

void TCustomComPort::SetBuffer(const TComBuffer& Value) {
    FBuffer = Value;
    ApplyQueueSizes();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& Value) {
    FFlowControl = Value;
    ApplyLineSettings();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& Value) {
    FTimeouts = Value;
    ApplyTimeoutSettings();
}

void TCustomComPort::SetSyncMethod(TSyncMethod Value) {
    if (Value == FSyncMethod) return;
    // The event thread reads it at every dispatch; the window exists only in one mode.
    if (FConnected) throw EComPort(14);
    FSyncMethod = Value;
}

// ---------------------------------------------------------------------------
// Open and close

void TCustomComPort::Open() {
    if (FConnected) return;
    DoBeforeOpen();
    OpenDevice();
    FConnected = true;
    try {
        ApplyAllSettings();
    } catch (...) {
        CloseDevice();
        FConnected = false;
        throw;
    }
    if (FEvents.Empty()) {
        FThreadCreated = false;
    } else {
        if (FSyncMethod == smWindowSync)
            FWindow =
                AllocateHWnd([this](UINT msg, WPARAM w, LPARAM l) { return HandleEventMessage(msg, w, l); });
        FEventThread = std::make_unique<TComThread>(this);
        FThreadCreated = true;
    }
    DoAfterOpen();
    RaiseEventStep(evCTS);
    RaiseEventStep(evDSR);
    RaiseEventStep(evRLSD);
}

bool TCustomComPort::InsideOwnEvent() const {
    return FEventThread && (FEventThread->InHandOver() || FEventThread->IsEventThread());
}

void TCustomComPort::Close() {
    if (!FConnected || FClosing) return;
    // The event thread is waiting for this very handler to return; waiting for
    // its end here could never finish.
    if (InsideOwnEvent())
        throw std::logic_error("The serial port cannot be closed from inside its own event handler");
    FClosing = true;
    struct Closing {
        bool& flag;
        ~Closing() { flag = false; }
    } closing{FClosing};
    DoCTSChange(false);
    DoDSRChange(false);
    DoRLSDChange(false);
    DoBeforeClose();
    AbortPending();
    if (FThreadCreated) {
        FEventThread.reset();
        FThreadCreated = false;
        if (FWindow) {
            DeallocateHWnd(FWindow);
            FWindow = 0;
        }
    }
    CloseDevice();
    FConnected = false;
    DoAfterClose();
}

// Destruction from a handler the event thread waits for (or runs): the thread
// cannot be waited for here, so it is left to end once the handler has returned,
// and closes the device itself.
void TCustomComPort::CloseInsideOwnEvent() {
    FClosing = true;
    try {
        DoCTSChange(false);
        DoDSRChange(false);
        DoRLSDChange(false);
        DoBeforeClose();
    } catch (...) {
        // The port goes whatever its handlers do.
    }
    PurgeComm(FHandle, PURGE_TXABORT | PURGE_RXABORT);
    FEventThread.release()->Orphan();
    FThreadCreated = false;
    FHandle = INVALID_HANDLE_VALUE;
    FConnected = false;
    try {
        DoAfterClose();
    } catch (...) {
    }
}

void TCustomComPort::OpenDevice() {
    std::string path = "\\\\.\\" + FPort;
    FHandle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    if (FHandle == INVALID_HANDLE_VALUE) throw EComPort(1, LastError());
}

void TCustomComPort::CloseDevice() {
    if (FHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(FHandle);
        FHandle = INVALID_HANDLE_VALUE;
    }
}

// ---------------------------------------------------------------------------
// Applying settings

void TCustomComPort::BeginChange() {
    ++FUpdateCount;
}

void TCustomComPort::EndChange() {
    if (FUpdateCount <= 0) return;
    if (--FUpdateCount == 0) ApplyAllSettings();
}

bool TCustomComPort::CanApply() const {
    return FConnected && FUpdateCount == 0 && !FLoading;
}

void TCustomComPort::ApplyAllSettings() {
    ApplyQueueSizes();
    ApplyLineSettings();
    ApplyTimeoutSettings();
}

void TCustomComPort::ApplyQueueSizes() {
    if (!CanApply()) return;
    if (!SetupComm(FHandle, static_cast<DWORD>(FBuffer.InputSize()),
                   static_cast<DWORD>(FBuffer.OutputSize())))
        throw EComPort(9, LastError());
}

void TCustomComPort::ApplyTimeoutSettings() {
    if (!CanApply()) return;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = static_cast<DWORD>(FTimeouts.ReadInterval());
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts.ReadTotalMultiplier());
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(FTimeouts.ReadTotalConstant());
    t.WriteTotalTimeoutMultiplier = static_cast<DWORD>(FTimeouts.WriteTotalMultiplier());
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(FTimeouts.WriteTotalConstant());
    if (!SetCommTimeouts(FHandle, &t)) throw EComPort(8, LastError());
}

void TCustomComPort::ApplyLineSettings() {
    if (!CanApply()) return;
    DCB dcb = BuildDCB();
    if (!SetCommState(FHandle, &dcb)) throw EComPort(7, LastError());
}

DCB TCustomComPort::BuildDCB() const {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = static_cast<DWORD>(FBaudRate == brCustom ? FCustomBaudRate : BaudRateValue(FBaudRate));
    dcb.fBinary = 1;
    dcb.fParity = FParity.Check() ? 1 : 0;
    dcb.fOutxCtsFlow = FFlowControl.OutCTSFlow() ? 1 : 0;
    dcb.fOutxDsrFlow = FFlowControl.OutDSRFlow() ? 1 : 0;
    dcb.fDtrControl = static_cast<DWORD>(FFlowControl.ControlDTR());
    dcb.fDsrSensitivity = FFlowControl.DSRSensitivity() ? 1 : 0;
    dcb.fTXContinueOnXoff = FFlowControl.TxContinueOnXoff() ? 1 : 0;
    dcb.fOutX = FFlowControl.XonXoffOut() ? 1 : 0;
    dcb.fInX = FFlowControl.XonXoffIn() ? 1 : 0;
    const bool errorChar = FParity.Check() && FParity.Replace();
    dcb.fErrorChar = errorChar ? 1 : 0;
    dcb.fNull = FDiscardNull ? 1 : 0;
    dcb.fRtsControl = static_cast<DWORD>(FFlowControl.ControlRTS());
    dcb.fAbortOnError = 0;
    dcb.XonLim = static_cast<WORD>(FBuffer.InputSize() / 4);
    dcb.XoffLim = static_cast<WORD>(FBuffer.InputSize() / 4);
    dcb.ByteSize = static_cast<BYTE>(5 + static_cast<int>(FDataBits));
    dcb.Parity = static_cast<BYTE>(FParity.Bits());
    dcb.StopBits = static_cast<BYTE>(FStopBits);
    dcb.XonChar = FFlowControl.XonChar();
    dcb.XoffChar = FFlowControl.XoffChar();
    dcb.ErrorChar = errorChar ? FParity.ReplaceChar() : 0;
    dcb.EvtChar = FEventChar;
    return dcb;
}

// ---------------------------------------------------------------------------
// Transfers

void TCustomComPort::NewAsyncOperation(AsyncOperation*& Op) {
    Op = new AsyncOperation;
    // Signalled at first, so waiting on an operation never started returns at once.
    Op->Overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
}

void TCustomComPort::DisposeAsyncOperation(AsyncOperation*& Op) {
    if (!Op) return;
    if (Op->Overlapped.hEvent) CloseHandle(Op->Overlapped.hEvent);
    delete Op;
    Op = nullptr;
}

int TCustomComPort::StartWrite(const void* Buffer, int Count, AsyncOperation* Op) {
    if (!Op) throw EComPort(4);
    Op->Kind = opWrite;
    DWORD written = 0;
    if (WriteFile(FHandle, Buffer, static_cast<DWORD>(Count), &written, &Op->Overlapped) ||
        GetLastError() == ERROR_IO_PENDING)
        return static_cast<int>(written);
    throw EComPort(2, LastError());
}

int TCustomComPort::StartWriteText(const std::string& Str, AsyncOperation* Op) {
    if (Str.empty()) return 0;
    return StartWrite(Str.data(), static_cast<int>(Str.size()), Op);
}

int TCustomComPort::StartRead(void* Buffer, int Count, AsyncOperation* Op) {
    if (!Op) throw EComPort(4);
    Op->Kind = opRead;
    DWORD read = 0;
    if (ReadFile(FHandle, Buffer, static_cast<DWORD>(Count), &read, &Op->Overlapped) ||
        GetLastError() == ERROR_IO_PENDING)
        return static_cast<int>(read);
    throw EComPort(3, LastError());
}

int TCustomComPort::StartReadText(std::string& Str, int Count, AsyncOperation* Op) {
    Str.resize(Count > 0 ? static_cast<std::size_t>(Count) : 0);
    if (Count <= 0) return 0;
    return StartRead(Str.data(), Count, Op);
}

int TCustomComPort::WaitForOperation(AsyncOperation* Op) {
    if (!Op) throw EComPort(4);
    DWORD transferred = 0;
    if (WaitForSingleObject(Op->Overlapped.hEvent, INFINITE) != WAIT_OBJECT_0 ||
        !GetOverlappedResult(FHandle, &Op->Overlapped, &transferred, FALSE))
        throw EComPort(Op->Kind == opWrite ? 2 : 3, LastError());
    return static_cast<int>(transferred);
}

namespace {
// Frees the operation record on every way out.
struct OperationGuard {
    TCustomComPort& port;
    AsyncOperation*& op;
    ~OperationGuard() { port.DisposeAsyncOperation(op); }
};
} // namespace

int TCustomComPort::WriteText(const std::string& Str) {
    if (Str.empty()) return 0; // nothing to send: leave the device alone
    AsyncOperation* op = nullptr;
    NewAsyncOperation(op);
    OperationGuard guard{*this, op};
    StartWriteText(Str, op);
    return WaitForOperation(op);
}

int TCustomComPort::ReadText(std::string& Str, int Count) {
    if (Count <= 0) {
        Str.clear();
        return 0;
    }
    AsyncOperation* op = nullptr;
    NewAsyncOperation(op);
    OperationGuard guard{*this, op};
    StartReadText(Str, Count, op);
    int n = WaitForOperation(op);
    Str.resize(static_cast<std::size_t>(n > 0 ? n : 0));
    return n;
}

void TCustomComPort::AbortPending() {
    if (!PurgeComm(FHandle, PURGE_TXABORT | PURGE_RXABORT)) throw EComPort(5, LastError());
}

void TCustomComPort::ClearInput() {
    if (!FConnected) return;
    if (!PurgeComm(FHandle, PURGE_RXCLEAR)) throw EComPort(5, LastError());
}

// ---------------------------------------------------------------------------
// Queries

std::int32_t TCustomComPort::InputQueueCount() {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(FHandle, &errors, &stat)) throw EComPort(10, LastError());
    return static_cast<std::int32_t>(stat.cbInQue);
}

TLineSignals TCustomComPort::LineSignals() {
    DWORD status = 0;
    if (!GetCommModemStatus(FHandle, &status)) throw EComPort(11, LastError());
    TLineSignals s;
    if (status & MS_CTS_ON) s.Include(lsCTS);
    if (status & MS_DSR_ON) s.Include(lsDSR);
    if (status & MS_RING_ON) s.Include(lsRing);
    if (status & MS_RLSD_ON) s.Include(lsRLSD);
    return s;
}

TComErrors TCustomComPort::TakeLineErrors() {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(FHandle, &errors, &stat)) throw EComPort(10, LastError());
    TComErrors e;
    if (errors & CE_FRAME) e.Include(ceFrame);
    if ((errors & CE_RXPARITY) && FParity.Check()) e.Include(ceRxParity);
    if (errors & CE_OVERRUN) e.Include(ceOverrun);
    if (errors & CE_BREAK) e.Include(ceBreak);
    if (errors & CE_IOE) e.Include(ceIO);
    if (errors & CE_MODE) e.Include(ceMode);
    if (errors & CE_RXOVER) e.Include(ceRxOver);
    if (errors & CE_TXFULL) e.Include(ceTxFull);
    return e;
}

// ---------------------------------------------------------------------------
// Event hooks

void TCustomComPort::DoAfterClose() {
    if (OnAfterClose) OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
    if (OnAfterOpen) OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
    if (OnBeforeClose) OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
    if (OnBeforeOpen) OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int Count) {
    if (OnRxChar) OnRxChar(this, Count);
}
void TCustomComPort::DoTxEmpty() {
    if (OnTxEmpty) OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
    if (OnBreak) OnBreak(this);
}
void TCustomComPort::DoRing() {
    if (OnRing) OnRing(this);
}
void TCustomComPort::DoRxFlag() {
    if (OnRxFlag) OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool OnOff) {
    if (OnCTSChange) OnCTSChange(this, OnOff);
}
void TCustomComPort::DoDSRChange(bool OnOff) {
    if (OnDSRChange) OnDSRChange(this, OnOff);
}
void TCustomComPort::DoError(TComErrors Errors) {
    if (OnError) OnError(this, Errors);
}
void TCustomComPort::DoRLSDChange(bool OnOff) {
    if (OnRLSDChange) OnRLSDChange(this, OnOff);
}
void TCustomComPort::DoRx80Full() {
    if (OnRx80Full) OnRx80Full(this);
}
