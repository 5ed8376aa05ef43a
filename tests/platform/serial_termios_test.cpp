// DCB -> termios mapping, without a port, plus the rates a pseudo-terminal accepts.
// Uses the kernel's termios2, so <termios.h> (and <pty.h>) stay out of this file.
#include "platform/SerialTermios.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "SerialTestDcb.h"

using namespace platform;
using namespace platform::termios_map;

namespace {

// What a terminal looks like before anyone made it raw.
termios2 Cooked() {
    termios2 t{};
    t.c_iflag = ICRNL | IXON | IXANY | IMAXBEL | BRKINT | ISTRIP | INLCR | IGNCR | PARMRK;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ISIG | IEXTEN;
    t.c_cflag = CS7 | PARENB | CSTOPB | B38400;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 5;
    return t;
}

} // namespace

TEST(SerialTermios, MainWindowSettingsGiveRaw8N1) {
    termios2 t = Cooked();
    ASSERT_TRUE(FromDcb(MainWindowDcb(), t));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | CMSPAR), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    // Anything that rewrites, swallows or echoes bytes would corrupt the wire data.
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK | BRKINT | INPCK),
              0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_ospeed, 9600u);
    EXPECT_EQ(t.c_ispeed, 9600u);
}

TEST(SerialTermios, AnyNonZeroRateUsesBotherForBothDirections) {
    for (DWORD rate : {110u, 9600u, 14400u, 56000u, 128000u, 250000u, 256000u, 123457u}) {
        termios2 t = Cooked();
        ASSERT_TRUE(SetBaudRate(t, rate)) << rate;
        EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t(BOTHER)) << rate;
        EXPECT_EQ((t.c_cflag >> IBSHIFT) & CBAUD, tcflag_t(BOTHER)) << rate;
        EXPECT_EQ(t.c_ospeed, rate);
        EXPECT_EQ(t.c_ispeed, rate);
    }
    termios2 t = Cooked();
    EXPECT_FALSE(SetBaudRate(t, 0)); // would hang up the line

    // What the driver kept, read back: rounded is taken, another rate is not.
    t.c_ospeed = 249000;
    EXPECT_TRUE(RateTaken(250000, t));
    t.c_ospeed = 9600;
    EXPECT_FALSE(RateTaken(250000, t));
}

TEST(SerialTermios, ParityKindsIncludingMarkAndSpace) {
    struct Case {
        BYTE parity;
        tcflag_t flags;
    } cases[] = {{NOPARITY, 0},
                 {ODDPARITY, PARENB | PARODD},
                 {EVENPARITY, PARENB},
                 {MARKPARITY, PARENB | CMSPAR | PARODD},
                 {SPACEPARITY, PARENB | CMSPAR}};
    for (const auto& c : cases) {
        termios2 t = Cooked();
        t.c_cflag |= PARODD | CMSPAR; // leftovers from an earlier setting must go
        ASSERT_TRUE(SetParity(t, c.parity, false)) << int(c.parity);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.flags) << int(c.parity);
        EXPECT_EQ(t.c_iflag & INPCK, 0u);
    }
    termios2 t{};
    EXPECT_FALSE(SetParity(t, 5, false));

    ASSERT_TRUE(SetParity(t, EVENPARITY, true));
    EXPECT_NE(t.c_iflag & INPCK, 0u);
    // Checking without a parity bit would flag every byte.
    ASSERT_TRUE(SetParity(t, NOPARITY, true));
    EXPECT_EQ(t.c_iflag & INPCK, 0u);
}

TEST(SerialTermios, ByteSizeAndStopBitsTheKernelCanDo) {
    termios2 t{};
    for (BYTE size : {5, 6, 7, 8})
        EXPECT_TRUE(SetByteSize(t, size)) << int(size);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    ASSERT_TRUE(SetByteSize(t, 5));
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS5));
    EXPECT_FALSE(SetByteSize(t, 4));
    EXPECT_FALSE(SetByteSize(t, 9));

    EXPECT_FALSE(SetStopBits(t, ONE5STOPBITS, 8));
    EXPECT_TRUE(SetStopBits(t, ONE5STOPBITS, 5));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_TRUE(SetStopBits(t, ONESTOPBIT, 8));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_TRUE(SetStopBits(t, TWOSTOPBITS, 8));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_FALSE(SetStopBits(t, TWOSTOPBITS, 5));
    EXPECT_FALSE(SetStopBits(t, 3, 8));

    DCB d = MainWindowDcb();
    d.StopBits = ONE5STOPBITS;
    termios2 whole{};
    EXPECT_FALSE(FromDcb(d, whole));
}

TEST(SerialTermios, FlowControlAndOutputLines) {
    DCB d = MainWindowDcb();
    termios2 t{};
    d.fOutxCtsFlow = 1;
    d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    SetFlowControl(t, d);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(ModemOutputs(d).rts, -1); // the driver drives RTS
    // RTS handshake alone must not hold output for a CTS that a 3-wire cable lacks.
    d.fOutxCtsFlow = 0;
    SetFlowControl(t, d);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(ModemOutputs(d).rts, 1);

    d = MainWindowDcb();
    d.fOutX = 1;
    d.fInX = 1;
    d.XonChar = 'Q';
    d.XoffChar = 'S';
    SetFlowControl(t, d);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 'Q');
    EXPECT_EQ(t.c_cc[VSTOP], 'S');

    d = MainWindowDcb(); // DTR and RTS held inactive
    EXPECT_EQ(ModemOutputs(d).dtr, 0);
    EXPECT_EQ(ModemOutputs(d).rts, 0);
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_EQ(ModemOutputs(d).dtr, 1);
    EXPECT_EQ(ModemOutputs(d).rts, 1);
}

TEST(SerialTermios, BytesWithLineErrorsReachTheReaderReplacedOrAsReceived) {
    DCB d = MainWindowDcb();
    d.fParity = 1;
    d.Parity = EVENPARITY;
    termios2 t{};
    ASSERT_TRUE(FromDcb(d, t));
    EXPECT_EQ(t.c_iflag & (INPCK | PARMRK | IGNPAR), tcflag_t(INPCK | PARMRK)); // marked, never NUL

    auto filtered = [](InputFilter& f, std::string bytes) {
        bytes.resize(f.Apply(bytes.data(), bytes.size()));
        return bytes;
    };
    const std::string marked("a\377\0Xb\377\377c", 8); // X arrived with an error; a real \377
    InputFilter asReceived;
    asReceived.Configure(d);
    EXPECT_EQ(filtered(asReceived, marked), "aXb\377c");
    // A mark split over two reads.
    EXPECT_EQ(filtered(asReceived, std::string("\377", 1)), "");
    EXPECT_EQ(filtered(asReceived, std::string("\0Y", 2)), "Y");

    d.fErrorChar = 1;
    d.ErrorChar = '?';
    InputFilter replaced;
    replaced.Configure(d);
    EXPECT_EQ(filtered(replaced, marked), "a?b\377c");

    d = MainWindowDcb(); // no checking: nothing is marked, a NUL is data unless discarded
    InputFilter plain;
    plain.Configure(d);
    EXPECT_EQ(filtered(plain, marked), marked);
    d.fNull = 1;
    plain.Configure(d);
    EXPECT_EQ(filtered(plain, std::string("a\0b", 3)), "ab");
}

// On a real pty: the rates the driver takes reach it unchanged, impossible settings fail.
TEST(SerialTermios, PtyAcceptsCustomRateThroughSetCommState) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string path = ptsname(master);

    HANDLE h = CreateFileA(("\\\\.\\" + path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    for (DWORD rate : {250000u, 14400u, 56000u, 128000u, 256000u}) {
        DCB d = MainWindowDcb();
        d.BaudRate = rate;
        EXPECT_TRUE(SetCommState(h, &d)) << rate << " error " << GetLastError();
        termios2 now{};
        ASSERT_EQ(ioctl(master, TCGETS2, &now), 0); // the master's termios calls reach the slave
        EXPECT_EQ(now.c_ospeed, rate);
    }
    // A negative rate and an absurd one never reach the driver.
    for (DWORD rate : {DWORD(-9600), kMaxBaudRate + 1}) {
        DCB d = MainWindowDcb();
        d.BaudRate = rate;
        EXPECT_FALSE(SetCommState(h, &d)) << rate;
        EXPECT_EQ(GetLastError(), DWORD(EINVAL));
    }
    DCB d = MainWindowDcb();
    d.ByteSize = 9;
    EXPECT_FALSE(SetCommState(h, &d));
    EXPECT_EQ(GetLastError(), DWORD(EINVAL));
    d = MainWindowDcb();
    d.StopBits = ONE5STOPBITS;
    EXPECT_FALSE(SetCommState(h, &d));
    EXPECT_EQ(GetLastError(), DWORD(EINVAL));

    EXPECT_TRUE(CloseHandle(h));
    close(master);
}
