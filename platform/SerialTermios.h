#pragma once
// DCB -> kernel termios mapping, one small function per field, usable without a port.
// Works on the kernel's termios2 (arbitrary rates through BOTHER); do not mix with <termios.h>
// in the same file.
#include "WinSerial.h"

#include <asm/termbits.h>

#include <cstddef>

namespace platform::termios_map {

// Raw byte-for-byte transfer: no echo, no line editing, no signals, no translation;
// receiver on, modem control lines ignored for open/read.
void MakeRaw(termios2& t);
// Rates above this are mistakes (a negative rate seen as unsigned), not speeds.
constexpr DWORD kMaxBaudRate = 50'000'000;
// Any rate from 1 to kMaxBaudRate, the standard ones included, as BOTHER with equal
// in/out speeds.
bool SetBaudRate(termios2& t, DWORD baud);
// Did the driver take `baud`? Read back after setting; drivers round to what their clock
// divides to, and keep their old rate for one they cannot do.
bool RateTaken(DWORD baud, const termios2& readBack);
// 5..8 data bits.
bool SetByteSize(termios2& t, BYTE size);
// NOPARITY..SPACEPARITY (mark/space through CMSPAR); `check` enables input parity checking.
bool SetParity(termios2& t, BYTE parity, bool check);
// ONESTOPBIT; ONE5STOPBITS only with 5 data bits; TWOSTOPBITS with 6..8 data bits.
bool SetStopBits(termios2& t, BYTE stopBits, BYTE byteSize);
// Output held while CTS is low (CRTSCTS) exactly when the DCB asks for CTS output flow,
// and XON/XOFF with their characters. Linux has no RTS input handshake of its own.
void SetFlowControl(termios2& t, const DCB& dcb);
// Everything above; false when the DCB asks for something the kernel cannot do.
bool FromDcb(const DCB& dcb, termios2& t);

// The state the DCB asks of the DTR and RTS outputs: -1 leave to the driver, 0 off, 1 on.
struct OutputLines {
    int dtr;
    int rts;
};
OutputLines ModemOutputs(const DCB& dcb);

// Received bytes on their way to the reader. With parity checking the kernel marks a byte
// that arrived with a parity or framing error as "\377 \0 byte" (PARMRK) and doubles a
// received \377; this turns the marks into the error character (when the DCB sets one) or
// the byte as received, and drops NULs when asked. Stateful: a mark split over two reads
// is completed by the next.
class InputFilter {
public:
    void Configure(const DCB& dcb);
    // Filters the `n` bytes at `buf` in place; returns how many are left for the reader.
    std::size_t Apply(char* buf, std::size_t n);

private:
    bool marked_ = false;
    int replacement_ = -1; // the error character, or -1: the byte as received
    bool dropNul_ = false;
    int state_ = 0; // 1: after \377, 2: after \377 \0
};

} // namespace platform::termios_map
