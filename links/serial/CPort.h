#pragma once
// Serial port component: settings model, device operations, event thread,
// settings text forms and the settings file.
//
// All operations are called from the GUI thread. The component talks to the
// device through the Win32-style operations of platform/WinSerial.h.
#include "platform/WinMsg.h"
#include "platform/WinSerial.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class TIniFile;
}

class TCustomComPort;

// ---------------------------------------------------------------------------
// Enumerations (ordinals matter: they index the text tables and the set bits)

enum TBaudRate {
    brCustom,
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000
};
enum TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum TDataBits { dbFive, dbSix, dbSeven, dbEight };
enum TParityBits { prNone, prOdd, prEven, prMark, prSpace };
enum TDTRFlowControl { dtrDisable, dtrEnable, dtrHandshake };
enum TRTSFlowControl { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum TFlowControl { fcHardware, fcSoftware, fcNone, fcCustom };
enum TComEvent { evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full };
enum TComError { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
enum TLineSignal { lsCTS, lsDSR, lsRing, lsRLSD };
enum TSyncMethod { smThreadSync, smWindowSync, smNone };
enum TSavedGroup { sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers };
enum SettingsStore : std::uint8_t { ssRegistry = 0, ssIniFile = 1 };
enum TOperationKind { opWrite = 0, opRead = 1 };

// A small set over an enumeration: bit n stands for the member with ordinal n.
template <typename E> class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> items) {
        for (E e : items)
            FBits |= Bit(e);
    }
    static constexpr TSet FromBits(std::uint32_t bits) {
        TSet s;
        s.FBits = bits;
        return s;
    }
    constexpr std::uint32_t Bits() const { return FBits; }
    constexpr bool Contains(E e) const { return (FBits & Bit(e)) != 0; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr TSet& Include(E e) {
        FBits |= Bit(e);
        return *this;
    }
    constexpr TSet& Exclude(E e) {
        FBits &= ~Bit(e);
        return *this;
    }
    friend constexpr TSet operator|(TSet a, TSet b) { return FromBits(a.FBits | b.FBits); }
    friend constexpr TSet operator&(TSet a, TSet b) { return FromBits(a.FBits & b.FBits); }
    friend constexpr TSet operator-(TSet a, TSet b) { return FromBits(a.FBits & ~b.FBits); }
    friend constexpr bool operator==(TSet a, TSet b) = default;

private:
    static constexpr std::uint32_t Bit(E e) { return std::uint32_t{1} << static_cast<unsigned>(e); }
    std::uint32_t FBits = 0;
};

using TComEvents = TSet<TComEvent>;
using TComErrors = TSet<TComError>;
using TLineSignals = TSet<TLineSignal>;
using TSavedGroups = TSet<TSavedGroup>;

inline constexpr TComEvents AllComEvents{evRxChar, evTxEmpty, evRxFlag, evRing, evBreak,
                                         evCTS,    evDSR,     evError,  evRLSD, evRx80Full};

// Device event mask <-> event set.
platform::DWORD EventsToMask(TComEvents events);
TComEvents MaskToEvents(platform::DWORD mask);

// ---------------------------------------------------------------------------
// Failures

class EComPort : public std::runtime_error {
public:
    // Without a system code: the table text alone, SystemCode() == -1.
    explicit EComPort(int messageCode);
    // With a system code: the table text followed by " (win error code: N)".
    EComPort(int messageCode, std::int32_t systemCode);

    int MessageCode() const { return FMessageCode; }
    std::int32_t SystemCode() const { return FSystemCode; }

private:
    int FMessageCode;
    std::int32_t FSystemCode;
};

// The message of table entry `code` (1..23), translated; "" outside the table.
std::string ComErrorMessage(int code);

// The application's standard exception handler. Exceptions that must not
// leave a window procedure or the delayed open after loading end up here.
// Default: print to stderr. The main window installs its crash reporter.
extern std::function<void(std::exception_ptr)> ApplicationHandleException;

// ---------------------------------------------------------------------------
// Settings objects. Each keeps the port that created it; a copy is detached
// (no port), so it can be edited freely and handed back with SetXxx().
// Assignment copies the fields only.

class TComTimeouts {
public:
    explicit TComTimeouts(TCustomComPort* ComPort = nullptr) : FComPort(ComPort) {}
    TComTimeouts(const TComTimeouts& Source) { CopyFields(Source); }
    TComTimeouts& operator=(const TComTimeouts& Source) {
        CopyFields(Source);
        return *this;
    }
    TCustomComPort* ComPort() const { return FComPort; }

    std::int32_t ReadInterval() const { return FReadInterval; }
    std::int32_t ReadTotalMultiplier() const { return FReadTotalMultiplier; }
    std::int32_t ReadTotalConstant() const { return FReadTotalConstant; }
    std::int32_t WriteTotalMultiplier() const { return FWriteTotalMultiplier; }
    std::int32_t WriteTotalConstant() const { return FWriteTotalConstant; }
    void SetReadInterval(std::int32_t Value);
    void SetReadTotalMultiplier(std::int32_t Value);
    void SetReadTotalConstant(std::int32_t Value);
    void SetWriteTotalMultiplier(std::int32_t Value);
    void SetWriteTotalConstant(std::int32_t Value);

private:
    void CopyFields(const TComTimeouts& s);
    void Changed();
    TCustomComPort* FComPort = nullptr;
    std::int32_t FReadInterval = -1;
    std::int32_t FReadTotalMultiplier = 0;
    std::int32_t FReadTotalConstant = 0;
    std::int32_t FWriteTotalMultiplier = 100;
    std::int32_t FWriteTotalConstant = 1000;
};

class TComFlowControl {
public:
    explicit TComFlowControl(TCustomComPort* ComPort = nullptr) : FComPort(ComPort) {}
    TComFlowControl(const TComFlowControl& Source) { CopyFields(Source); }
    TComFlowControl& operator=(const TComFlowControl& Source) {
        CopyFields(Source);
        return *this;
    }
    TCustomComPort* ComPort() const { return FComPort; }

    bool OutCTSFlow() const { return FOutCTSFlow; }
    bool OutDSRFlow() const { return FOutDSRFlow; }
    TDTRFlowControl ControlDTR() const { return FControlDTR; }
    TRTSFlowControl ControlRTS() const { return FControlRTS; }
    bool XonXoffOut() const { return FXonXoffOut; }
    bool XonXoffIn() const { return FXonXoffIn; }
    bool DSRSensitivity() const { return FDSRSensitivity; }
    bool TxContinueOnXoff() const { return FTxContinueOnXoff; }
    char XonChar() const { return FXonChar; }
    char XoffChar() const { return FXoffChar; }
    void SetOutCTSFlow(bool Value);
    void SetOutDSRFlow(bool Value);
    void SetControlDTR(TDTRFlowControl Value);
    void SetControlRTS(TRTSFlowControl Value);
    void SetXonXoffOut(bool Value);
    void SetXonXoffIn(bool Value);
    void SetDSRSensitivity(bool Value);
    void SetTxContinueOnXoff(bool Value);
    void SetXonChar(char Value);
    void SetXoffChar(char Value);

    // The preset kind read from RTS control, CTS output flow and XON/XOFF.
    TFlowControl FlowControl() const;
    // fcCustom changes nothing; the other presets reset those four fields first.
    void SetFlowControl(TFlowControl Value);

private:
    void CopyFields(const TComFlowControl& s);
    void Changed();
    TCustomComPort* FComPort = nullptr;
    bool FOutCTSFlow = false;
    bool FOutDSRFlow = false;
    TDTRFlowControl FControlDTR = dtrDisable;
    TRTSFlowControl FControlRTS = rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
    bool FDSRSensitivity = false;
    bool FTxContinueOnXoff = false;
    char FXonChar = 17;
    char FXoffChar = 19;
};

class TComParity {
public:
    explicit TComParity(TCustomComPort* ComPort = nullptr) : FComPort(ComPort) {}
    TComParity(const TComParity& Source) { CopyFields(Source); }
    TComParity& operator=(const TComParity& Source) {
        CopyFields(Source);
        return *this;
    }
    TCustomComPort* ComPort() const { return FComPort; }

    TParityBits Bits() const { return FBits; }
    bool Check() const { return FCheck; }
    bool Replace() const { return FReplace; }
    char ReplaceChar() const { return FReplaceChar; }
    void SetBits(TParityBits Value);
    void SetCheck(bool Value);
    void SetReplace(bool Value);
    void SetReplaceChar(char Value);

private:
    void CopyFields(const TComParity& s);
    void Changed();
    TCustomComPort* FComPort = nullptr;
    TParityBits FBits = prNone;
    bool FCheck = false;
    bool FReplace = false;
    char FReplaceChar = 0;
};

class TComBuffer {
public:
    explicit TComBuffer(TCustomComPort* ComPort = nullptr) : FComPort(ComPort) {}
    TComBuffer(const TComBuffer& Source) { CopyFields(Source); }
    TComBuffer& operator=(const TComBuffer& Source) {
        CopyFields(Source);
        return *this;
    }
    TCustomComPort* ComPort() const { return FComPort; }

    std::int32_t InputSize() const { return FInputSize; }
    std::int32_t OutputSize() const { return FOutputSize; }
    // Driver queues are kept even: an odd positive size is stored one lower.
    void SetInputSize(std::int32_t Value);
    void SetOutputSize(std::int32_t Value);

private:
    void CopyFields(const TComBuffer& s);
    void Changed();
    TCustomComPort* FComPort = nullptr;
    std::int32_t FInputSize = 1024;
    std::int32_t FOutputSize = 1024;
};

// One overlapped transfer.
struct AsyncOperation {
    platform::OVERLAPPED Overlapped{};
    TOperationKind Kind = opWrite;
};

// ---------------------------------------------------------------------------
// Event thread: waits for device events and has them raised as port events.

class TComThread {
public:
    // Sets the device event mask from the port's Events and starts the thread.
    explicit TComThread(TCustomComPort* ComPort);
    // Stops the thread and waits for its end (keeps servicing hand-overs).
    ~TComThread();
    TComThread(const TComThread&) = delete;
    TComThread& operator=(const TComThread&) = delete;

    void RequestStop();
    bool Finished() const { return FFinished.load(); }
    bool IsEventThread() const { return std::this_thread::get_id() == FThreadId.load(); }
    // True while the GUI thread raises events for this thread, which waits meanwhile.
    bool InHandOver() const { return FInHandOver; }
    // The port is being destroyed by one of its own handlers and cannot wait: the thread
    // ends by itself once that handler has returned, closes the device and frees itself.
    void Orphan();
    // Orphaned threads that have not yet ended.
    static int Orphans();
    // The exception that ended the thread early, if any.
    std::exception_ptr FatalException() const;

private:
    void Execute();
    void DispatchEvents();
    void SendEventMessages();
    void RaiseEvents(TComEvents Events);

    TCustomComPort* FComPort;
    platform::HANDLE FDevice;
    platform::HANDLE FStopEvent = nullptr;
    TComEvents FEvents;   // the mask armed at start
    TComEvents FReceived; // the set of the last completed wait
    std::exception_ptr FFatalException;
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FOrphaned{false};
    bool FInHandOver = false; // GUI thread only
    std::thread FThread;
    std::atomic<std::thread::id> FThreadId{}; // set by the thread itself
};

// ---------------------------------------------------------------------------
// The port

using TComNotifyEvent = std::function<void(TCustomComPort* Sender)>;
using TRxCharEvent = std::function<void(TCustomComPort* Sender, int Count)>;
using TComSignalEvent = std::function<void(TCustomComPort* Sender, bool OnOff)>;
using TComErrorEvent = std::function<void(TCustomComPort* Sender, TComErrors Errors)>;

class TCustomComPort {
public:
    TCustomComPort();
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // Component framework: the name is the section name of the settings file.
    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }
    // While loading, Connected is only recorded and nothing reaches the device.
    void BeginLoading() { FLoading = true; }
    bool Loading() const { return FLoading; }
    virtual void Loaded();

    // Properties
    bool Connected() const { return FConnected; }
    void SetConnected(bool Value);
    TBaudRate BaudRate() const { return FBaudRate; }
    void SetBaudRate(TBaudRate Value);
    std::int32_t CustomBaudRate() const { return FCustomBaudRate; }
    void SetCustomBaudRate(std::int32_t Value);
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& Value);
    TComParity& Parity() { return FParity; }
    const TComParity& Parity() const { return FParity; }
    void SetParity(const TComParity& Value);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits Value);
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits Value);
    bool DiscardNull() const { return FDiscardNull; }
    void SetDiscardNull(bool Value);
    char EventChar() const { return FEventChar; }
    void SetEventChar(char Value);
    TComEvents Events() const { return FEvents; }
    void SetEvents(TComEvents Value) { FEvents = Value; }
    TComBuffer& Buffer() { return FBuffer; }
    const TComBuffer& Buffer() const { return FBuffer; }
    void SetBuffer(const TComBuffer& Value);
    TComFlowControl& FlowControl() { return FFlowControl; }
    const TComFlowControl& FlowControl() const { return FFlowControl; }
    void SetFlowControl(const TComFlowControl& Value);
    TComTimeouts& Timeouts() { return FTimeouts; }
    const TComTimeouts& Timeouts() const { return FTimeouts; }
    void SetTimeouts(const TComTimeouts& Value);
    TSyncMethod SyncMethod() const { return FSyncMethod; }
    // Refused with code 14 while the port is open.
    void SetSyncMethod(TSyncMethod Value);
    TSavedGroups SavedGroups() const { return FSavedGroups; }
    void SetSavedGroups(TSavedGroups Value) { FSavedGroups = Value; }

    // Events (may be empty)
    TComNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
    TRxCharEvent OnRxChar;
    TComNotifyEvent OnTxEmpty, OnBreak, OnRing, OnRxFlag, OnRx80Full;
    TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
    TComErrorEvent OnError;

    // Open and close
    void Open();
    // Refused (std::logic_error) from inside an event handler that the event
    // thread is waiting on: that thread could never end.
    void Close();

    // Change batch: setters inside only record values; the outermost
    // EndChange applies everything at once.
    void BeginChange();
    void EndChange();

    // Transfers
    void NewAsyncOperation(AsyncOperation*& Op);
    void DisposeAsyncOperation(AsyncOperation*& Op);
    int StartWrite(const void* Buffer, int Count, AsyncOperation* Op);
    int StartWriteText(const std::string& Str, AsyncOperation* Op);
    int StartRead(void* Buffer, int Count, AsyncOperation* Op);
    int StartReadText(std::string& Str, int Count, AsyncOperation* Op);
    int WaitForOperation(AsyncOperation* Op);
    int WriteText(const std::string& Str);
    int ReadText(std::string& Str, int Count);
    void AbortPending();
    // Discards what the driver received and nobody read yet; nothing while closed.
    void ClearInput();

    // Queries
    std::int32_t InputQueueCount();
    TLineSignals LineSignals();
    TComErrors TakeLineErrors();

    // Settings file
    void SaveSettings(SettingsStore StoreType, const std::string& StoreTo);
    void RestoreSettings(SettingsStore StoreType, const std::string& StoreFrom);

    // The advanced settings dialog (defined with the dialog).
    void ShowSettingsDialog();

    // The device-control block the current settings describe.
    platform::DCB BuildDCB() const;

    // Apply operations: no device access while closed, batched or loading.
    virtual void ApplyLineSettings();
    virtual void ApplyTimeoutSettings();
    virtual void ApplyQueueSizes();

    // One raising step of the event thread (also used by Open/Close and the
    // notification window).
    void RaiseEventStep(TComEvent Event);
    // Window procedure of the notification window.
    platform::LRESULT HandleEventMessage(platform::UINT Msg, platform::WPARAM WParam,
                                         platform::LPARAM LParam);

    // The device handle; INVALID_HANDLE_VALUE when closed.
    platform::HANDLE Handle() const { return FHandle; }
    // The running (or early-ended) event thread, if any.
    const TComThread* EventThread() const { return FEventThread.get(); }

protected:
    // Settings file groups
    virtual void WriteRegistrySettings(const std::string& Path);
    virtual void WriteIniSettings(platform::TIniFile& IniFile);
    virtual void ReadRegistrySettings(const std::string& Path);
    virtual void ReadIniSettings(platform::TIniFile& IniFile);
    virtual void OpenDevice();
    virtual void CloseDevice();
    virtual void ApplyAllSettings();

    // Event hooks: each calls its handler when one is set.
    virtual void DoAfterClose();
    virtual void DoAfterOpen();
    virtual void DoBeforeClose();
    virtual void DoBeforeOpen();
    virtual void DoRxChar(int Count);
    virtual void DoTxEmpty();
    virtual void DoBreak();
    virtual void DoRing();
    virtual void DoRxFlag();
    virtual void DoCTSChange(bool OnOff);
    virtual void DoDSRChange(bool OnOff);
    virtual void DoError(TComErrors Errors);
    virtual void DoRLSDChange(bool OnOff);
    virtual void DoRx80Full();

private:
    friend class TComThread;
    bool CanApply() const;
    // Inside a handler that the event thread waits for, or runs itself.
    bool InsideOwnEvent() const;
    void CloseInsideOwnEvent();

    std::string FName;
    bool FLoading = false;
    bool FConnected = false;
    TBaudRate FBaudRate = br9600;
    std::int32_t FCustomBaudRate = 9600;
    std::string FPort = "COM1";
    TStopBits FStopBits = sbOneStopBit;
    TDataBits FDataBits = dbEight;
    bool FDiscardNull = false;
    char FEventChar = 0;
    TComEvents FEvents = AllComEvents;
    TSyncMethod FSyncMethod = smThreadSync;
    TSavedGroups FSavedGroups{sgBasic};
    platform::HANDLE FHandle = platform::INVALID_HANDLE_VALUE;
    std::int32_t FUpdateCount = 0;
    std::unique_ptr<TComThread> FEventThread;
    bool FThreadCreated = false;
    platform::HWND FWindow = 0;
    bool FClosing = false; // Close has begun: no port message raises anything

    // Created in this order: parity, flow control, timeouts, buffer.
    TComParity FParity{this};
    TComFlowControl FFlowControl{this};
    TComTimeouts FTimeouts{this};
    TComBuffer FBuffer{this};
};

class TComPort : public TCustomComPort {
public:
    TComPort() { SetName("ComPort1"); }
};

// The serial settings file of the settings folder `settingsDir` (ending in "/").
std::string ComPortIniPath(const std::string& settingsDir);
// Reads the basic group of that file into `port` (and leaves SavedGroups at the
// basic group, which is what the program writes back). A missing or unreadable
// file leaves the settings as they were: the failure is dropped.
void RestoreComPortIni(TCustomComPort& port, const std::string& settingsDir);

// The serial ports the system reports: the kernel's tty devices with a driver
// ("/dev/ttyUSB0"), sorted as text without regard to case, each followed by the
// stable names that point to it ("/dev/serial/by-id/...", then by-path), which
// keep naming an adapter across replugging. Any of them can be stored as Port.
void ListSerialPorts(std::vector<std::string>& target);

// One entry of that list: the name, and for a stable name the kernel name it
// points to ("" for a kernel name).
struct TSerialPortEntry {
    std::string Name;
    std::string Device;
};
std::vector<TSerialPortEntry> SerialPortEntries();
// The same, read from a sysfs tty class folder ("/sys/class/tty") and a device
// folder ("/dev"; "" for no stable names), so that tests can give their own.
std::vector<TSerialPortEntry> SerialPortEntriesIn(const std::string& classDir, const std::string& devDir);
void ListSerialPortsIn(const std::string& classDir, const std::string& devDir,
                       std::vector<std::string>& target);
void ListSerialPortsIn(const std::string& classDir, std::vector<std::string>& target);

// ---------------------------------------------------------------------------
// Text forms of the settings

std::string BaudRateToText(TBaudRate BaudRate);
TBaudRate TextToBaudRate(const std::string& Str);
std::string StopBitsToText(TStopBits StopBits);
TStopBits TextToStopBits(const std::string& Str);
std::string DataBitsToText(TDataBits DataBits);
TDataBits TextToDataBits(const std::string& Str);
std::string ParityToText(TParityBits Parity);
TParityBits TextToParity(const std::string& Str);
std::string FlowControlToText(TFlowControl FlowControl);
TFlowControl TextToFlowControl(const std::string& Str);
std::string DTRControlToText(TDTRFlowControl DTRControl);
TDTRFlowControl TextToDTRControl(const std::string& Str);
std::string RTSControlToText(TRTSFlowControl RTSControl);
TRTSFlowControl TextToRTSControl(const std::string& Str);
std::string YesNoText(bool B);
bool TextToYesNo(const std::string& Str);
std::string CharToText(char Ch);
char TextToChar(const std::string& Str);

// The rate in bits per second of a named member (0 for brCustom).
std::int32_t BaudRateValue(TBaudRate BaudRate);
