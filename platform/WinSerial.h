#pragma once
// Serial devices and kernel-style events behind the Win32 serial API, so the serial
// component reads like the operations it is written against.
//
// Device handles belong to a backend: the POSIX one (termios) by default, or a test
// double installed with SetSerialBackend. Events are backend-independent.
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

using HANDLE = void*;
using DWORD = std::uint32_t;
using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr BOOL FALSE = 0, TRUE = 1;
constexpr DWORD MAXDWORD = 0xFFFFFFFF;

constexpr DWORD GENERIC_READ = 0x80000000, GENERIC_WRITE = 0x40000000, OPEN_EXISTING = 3,
                FILE_FLAG_OVERLAPPED = 0x40000000, INFINITE = 0xFFFFFFFF, WAIT_OBJECT_0 = 0,
                WAIT_TIMEOUT = 258, WAIT_FAILED = 0xFFFFFFFF, ERROR_IO_PENDING = 997,
                ERROR_IO_INCOMPLETE = 996, ERROR_INVALID_HANDLE = 6, ERROR_OPERATION_ABORTED = 995,
                PURGE_TXABORT = 1, PURGE_RXABORT = 2, PURGE_TXCLEAR = 4, PURGE_RXCLEAR = 8, EV_RXCHAR = 1,
                EV_RXFLAG = 2, EV_TXEMPTY = 4, EV_CTS = 8, EV_DSR = 16, EV_RLSD = 32, EV_BREAK = 64,
                EV_ERR = 128, EV_RING = 256, EV_RX80FULL = 1024, CE_RXOVER = 1, CE_OVERRUN = 2,
                CE_RXPARITY = 4, CE_FRAME = 8, CE_BREAK = 16, CE_TXFULL = 256, CE_IOE = 1024, CE_MODE = 32768,
                MS_CTS_ON = 16, MS_DSR_ON = 32, MS_RING_ON = 64, MS_RLSD_ON = 128;
// Not part of the serial contract, but handy for callers and tests.
constexpr DWORD ERROR_INVALID_PARAMETER = 87;

constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4, ONESTOPBIT = 0,
               ONE5STOPBITS = 1, TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                RTS_CONTROL_TOGGLE = 3;

struct OVERLAPPED {
    std::uintptr_t Internal = 0, InternalHigh = 0;
    DWORD Offset = 0, OffsetHigh = 0;
    HANDLE hEvent = nullptr;
};

struct DCB { // the Win32 layout, sizeof == 28
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1, fParity : 1, fOutxCtsFlow : 1, fOutxDsrFlow : 1, fDtrControl : 2, fDsrSensitivity : 1,
        fTXContinueOnXoff : 1, fOutX : 1, fInX : 1, fErrorChar : 1, fNull : 1, fRtsControl : 2,
        fAbortOnError : 1, fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout, ReadTotalTimeoutMultiplier, ReadTotalTimeoutConstant,
        WriteTotalTimeoutMultiplier, WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD Flags;
    DWORD cbInQue;
    DWORD cbOutQue;
};

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templ);
BOOL CloseHandle(HANDLE h); // devices and events alike
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL SetCommState(HANDLE h, const DCB* dcb);
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* t);
BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat);
BOOL GetCommModemStatus(HANDLE h, DWORD* status);
BOOL PurgeComm(HANDLE h, DWORD flags);
// Waits until the output already written has left the port, within the write time-outs
// of what is still queued; false (WAIT_TIMEOUT) when some of it is still queued then.
BOOL FlushFileBuffers(HANDLE h);
BOOL WriteFile(HANDLE h, const void* buf, DWORD n, DWORD* written, OVERLAPPED* ov);
BOOL ReadFile(HANDLE h, void* buf, DWORD n, DWORD* read, OVERLAPPED* ov);
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov);
HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
BOOL SetEvent(HANDLE e);
BOOL ResetEvent(HANDLE e);
DWORD WaitForSingleObject(HANDLE h, DWORD ms);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);
DWORD GetLastError(); // thread-local; on POSIX the code is the errno value
void SetLastError(DWORD code);

// Port name or CreateFileA path -> device path: the "\\.\" prefix is dropped; a name
// beginning with "/" is a path; "COMn" is "/dev/ttyS(n-1)"; anything else lives under "/dev/".
std::string SerialDevicePath(const std::string& nameOrPath);

// One open device of a backend. Every operation reports failure through SetLastError.
class SerialDevice {
public:
    virtual ~SerialDevice() = default;
    virtual BOOL Close() = 0;
    virtual BOOL SetupComm(DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL SetCommState(const DCB& dcb) = 0;
    virtual BOOL SetCommTimeouts(const COMMTIMEOUTS& t) = 0;
    virtual BOOL ClearCommError(DWORD* errors, COMSTAT* stat) = 0;
    virtual BOOL GetCommModemStatus(DWORD* status) = 0;
    virtual BOOL PurgeComm(DWORD flags) = 0;
    virtual BOOL FlushFileBuffers() = 0;
    virtual BOOL WriteFile(const void* buf, DWORD n, DWORD* written, OVERLAPPED* ov) = 0;
    virtual BOOL ReadFile(void* buf, DWORD n, DWORD* read, OVERLAPPED* ov) = 0;
    virtual BOOL SetCommMask(DWORD mask) = 0;
    virtual BOOL WaitCommEvent(DWORD* mask, OVERLAPPED* ov) = 0;
};

class SerialBackend {
public:
    virtual ~SerialBackend() = default;
    // `path` is what CreateFileA was given. nullptr (and the last error set) on failure.
    virtual std::shared_ptr<SerialDevice> Open(const std::string& path, DWORD access, DWORD flags) = 0;
};

void SetSerialBackend(SerialBackend* b); // nullptr restores the POSIX backend (the default)
SerialBackend& DefaultSerialBackend();   // the POSIX backend

// Helpers for backends: overlapped blocks carry their state like the Win32 ones
// (Internal = status, InternalHigh = bytes).
namespace overlapped {
constexpr std::uintptr_t kPending = 0x103;
// Resets hEvent and marks the block pending.
void Start(OVERLAPPED* ov);
// Stores the result and sets hEvent. error 0 = success.
void Complete(OVERLAPPED* ov, DWORD error, DWORD bytes);
} // namespace overlapped

} // namespace platform
