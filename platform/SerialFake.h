#pragma once
// In-memory serial backend for tests: records every call, lets a test inject received
// bytes, device events, modem lines, line errors and failures. Thread-safe.
//
//   platform::FakeSerial fake;            // installs itself as the serial backend
//   fake.AddDevice("COM1");
//   ... CreateFileA("\\\\.\\COM1", ...) ...
#include "WinSerial.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class FakeSerial : public SerialBackend {
public:
    struct Call {
        std::string op;                 // the Win32 name, e.g. "SetCommState"
        std::vector<std::int64_t> args; // see the list of recorded arguments below
        std::string text;               // CreateFileA: path; WriteFile: bytes
    };
    // Recorded arguments:
    //   CreateFileA: text = path          SetupComm: in, out        PurgeComm: flags
    //   SetCommState: BaudRate, flags word, XonLim, XoffLim, ByteSize, Parity, StopBits,
    //                 XonChar, XoffChar, ErrorChar, EofChar, EvtChar
    //   SetCommTimeouts: the five fields  SetCommMask: mask        ReadFile: n
    //   WriteFile: n, text = bytes        ClearCommError, GetCommModemStatus, CloseHandle,
    //   WaitCommEvent, FlushFileBuffers: no arguments

    FakeSerial();  // installs itself with SetSerialBackend
    ~FakeSerial(); // restores the default backend
    FakeSerial(const FakeSerial&) = delete;
    FakeSerial& operator=(const FakeSerial&) = delete;

    std::shared_ptr<SerialDevice> Open(const std::string& path, DWORD access, DWORD flags) override;

    std::vector<Call> Calls() const;
    std::vector<std::string> Ops() const; // just the op names, in order
    void ClearCalls();
    DCB LastDcb() const;
    COMMTIMEOUTS LastTimeouts() const;
    DWORD Mask() const; // the last mask given to SetCommMask

    // Names CreateFileA accepts, with or without the "\\.\" prefix; others fail with ENOENT.
    void AddDevice(const std::string& name);
    // Received bytes; raises EV_RXCHAR when armed.
    void QueueInput(const std::string& bytes);
    std::string PendingInput() const;
    // Completes a pending WaitCommEvent with `mask`, or keeps it for the next wait.
    void RaiseEvents(DWORD mask);
    // Modem status word (MS_*) returned by GetCommModemStatus.
    void SetModemStatus(DWORD bits);
    // Error flags (CE_*) returned and cleared by the next ClearCommError.
    void SetErrors(DWORD flags);
    // Bytes reported as waiting in the output queue by ClearCommError.
    void SetOutputQueue(DWORD count);
    // The named operation fails with GetLastError() == code: once, or from now on.
    void FailNext(const std::string& op, DWORD code);
    void FailAlways(const std::string& op, DWORD code);
    void ClearFailures();
    std::string Written() const;
    // Is a WaitCommEvent pending on an open device?
    bool WaitPending() const;
    int OpenDevices() const;

private:
    class Device;
    friend class Device;

    // All of these: mutex_ held.
    bool ShouldFail(const std::string& op, DWORD* code);
    void Record(Call c);
    void RaiseLocked(DWORD mask);
    void CompleteWaitLocked(DWORD mask);

    std::mutex& mutex_; // shared by all fakes
    std::vector<Device*> live_;
    std::vector<Call> calls_;
    std::vector<std::string> devices_;
    std::vector<std::pair<std::string, DWORD>> failNext_;
    std::vector<std::pair<std::string, DWORD>> failAlways_;
    DCB lastDcb_{};
    COMMTIMEOUTS lastTimeouts_{};
    std::string input_;
    std::string written_;
    DWORD mask_ = 0;
    DWORD held_ = 0; // events raised while no wait was pending
    DWORD modem_ = 0;
    DWORD errors_ = 0;
    DWORD outQueue_ = 0;
    DWORD* waitMask_ = nullptr;
    OVERLAPPED* waitOv_ = nullptr;
    const Device* waitOwner_ = nullptr;
    int open_ = 0;
};

} // namespace platform
