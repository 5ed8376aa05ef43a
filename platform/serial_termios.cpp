#include "SerialTermios.h"

namespace platform::termios_map {

void MakeRaw(termios2& t) {
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC |
                   IMAXBEL | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    // The descriptor is non-blocking and timeouts are kept by the caller; VMIN 1 makes an
    // empty queue read as EAGAIN rather than 0, which would look like a hang-up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

bool SetBaudRate(termios2& t, DWORD baud) {
    // Zero would mean "hang up", not a speed.
    if (baud == 0 || baud > kMaxBaudRate) return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return true;
}

bool RateTaken(DWORD baud, const termios2& readBack) {
    // Within 2 %: what the receiver at the far end still reads without errors.
    const std::uint64_t got = readBack.c_ospeed, want = baud;
    return got * 50 >= want * 49 && got * 50 <= want * 51;
}

bool SetByteSize(termios2& t, BYTE size) {
    tcflag_t cs;
    switch (size) {
    case 5:
        cs = CS5;
        break;
    case 6:
        cs = CS6;
        break;
    case 7:
        cs = CS7;
        break;
    case 8:
        cs = CS8;
        break;
    default:
        return false;
    }
    t.c_cflag = (t.c_cflag & ~CSIZE) | cs;
    return true;
}

bool SetParity(termios2& t, BYTE parity, bool check) {
    t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (parity) {
    case NOPARITY:
        break;
    case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    // With CMSPAR the parity bit is constant: PARODD selects mark (1), otherwise space (0).
    case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        return false;
    }
    // Marked rather than read as NUL, so the reader gets the byte or its replacement.
    if (check && parity != NOPARITY)
        t.c_iflag |= INPCK | PARMRK;
    else
        t.c_iflag &= ~(INPCK | PARMRK);
    return true;
}

bool SetStopBits(termios2& t, BYTE stopBits, BYTE byteSize) {
    switch (stopBits) {
    case ONESTOPBIT:
        t.c_cflag &= ~CSTOPB;
        return true;
    // The UART sends 1.5 stop bits for "two" only at 5 data bits, and two otherwise.
    case ONE5STOPBITS:
        if (byteSize != 5) return false;
        t.c_cflag |= CSTOPB;
        return true;
    case TWOSTOPBITS:
        if (byteSize == 5) return false;
        t.c_cflag |= CSTOPB;
        return true;
    default:
        return false;
    }
}

void SetFlowControl(termios2& t, const DCB& dcb) {
    // CRTSCTS for RTS handshake alone would hold every write on a cable without CTS.
    if (dcb.fOutxCtsFlow)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    if (dcb.fOutX)
        t.c_iflag |= IXON;
    else
        t.c_iflag &= ~IXON;
    if (dcb.fInX)
        t.c_iflag |= IXOFF;
    else
        t.c_iflag &= ~IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

bool FromDcb(const DCB& dcb, termios2& t) {
    MakeRaw(t);
    return SetBaudRate(t, dcb.BaudRate) && SetByteSize(t, dcb.ByteSize) &&
           SetParity(t, dcb.Parity, dcb.fParity != 0) && SetStopBits(t, dcb.StopBits, dcb.ByteSize) &&
           (SetFlowControl(t, dcb), true);
}

OutputLines ModemOutputs(const DCB& dcb) {
    OutputLines lines{};
    // The kernel has no DTR handshake; keep DTR asserted so the peer sees us ready.
    lines.dtr = dcb.fDtrControl == DTR_CONTROL_DISABLE ? 0 : 1;
    // With RTS/CTS handshake the driver owns RTS. RTS handshake without CTS output flow
    // and RTS toggle have no kernel equivalent: RTS stays on, ready to receive.
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && dcb.fOutxCtsFlow)
        lines.rts = -1;
    else
        lines.rts = dcb.fRtsControl == RTS_CONTROL_DISABLE ? 0 : 1;
    return lines;
}

void InputFilter::Configure(const DCB& dcb) {
    const bool marked = dcb.fParity && dcb.Parity != NOPARITY;
    if (!marked) state_ = 0;
    marked_ = marked;
    replacement_ = marked && dcb.fErrorChar ? static_cast<unsigned char>(dcb.ErrorChar) : -1;
    dropNul_ = dcb.fNull != 0;
}

std::size_t InputFilter::Apply(char* buf, std::size_t n) {
    if (!marked_ && !dropNul_) return n;
    std::size_t out = 0;
    auto put = [&](char c, bool replaced) {
        if (dropNul_ && c == 0 && !replaced) return;
        buf[out++] = c;
    };
    for (std::size_t i = 0; i < n; ++i) {
        const char c = buf[i];
        if (!marked_) {
            put(c, false);
        } else if (state_ == 0) {
            if (c == '\377')
                state_ = 1;
            else
                put(c, false);
        } else if (state_ == 1) {
            if (c == '\377') { // a received \377
                state_ = 0;
                put(c, false);
            } else if (c == 0) {
                state_ = 2;
            } else { // not a mark the kernel makes: pass both on where there is room
                state_ = 0;
                if (out < i) put('\377', false);
                put(c, false);
            }
        } else {
            state_ = 0;
            if (replacement_ >= 0)
                put(static_cast<char>(replacement_), true);
            else
                put(c, false);
        }
    }
    return out;
}

} // namespace platform::termios_map
