// The port on real pseudo-terminals through the POSIX backend; the master side
// plays the scale.
#include "SerialTestUtil.h"
#include "links/LinkTestSupport.h"
#include "links/serial/CPort.h"
#include "links/serial/SerialLink.h"

#include <QTemporaryDir>
#include <fstream>

#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <thread>
#include <unistd.h>

namespace {

class Pty : public ::testing::Test {
protected:
    void SetUp() override {
        char name[256] = {};
        ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        slaveName = name;
        port.SetPort(slaveName);
    }
    void TearDown() override {
        port.Close();
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }

    // Bytes arriving at the far side until `n` have come or the deadline passes.
    std::string ReadFar(std::size_t n, int timeoutMs = 3000) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[256];
            ssize_t r = ::read(master, buf, sizeof buf);
            if (r > 0) got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }
    void WriteFar(const std::string& bytes) {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int master = -1;
    int slave = -1;
    std::string slaveName;
    TComPort port;
};

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs the GUI event loop, idle, for `ms`.
void IdleLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

TEST_F(Pty, WrittenTextArrivesByteExact) {
    port.Open();
    EXPECT_EQ(port.WriteText("SbP\r\n"), 5);
    EXPECT_EQ(ReadFar(5), "SbP\r\n");
    const std::string binary("\0\x11\x13\xff\n\r", 6); // no translation, no flow control
    EXPECT_EQ(port.WriteText(binary), 6);
    EXPECT_EQ(ReadFar(6), binary);
}

TEST_F(Pty, ReceivedBytesRaiseRxCharOnTheGuiThread) {
    std::string received;
    bool offGuiThread = false;
    int smallestCount = 1;
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) offGuiThread = true;
        smallestCount = std::min(smallestCount, count);
        std::string piece;
        sender->ReadText(piece, count);
        received += piece;
    };
    port.Open();
    const std::string reply = std::string("MbP\r\n") + std::string("\x00\xfe", 2) + "Mr\n";
    WriteFar(reply);
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= reply.size(); })) << received.size();
    EXPECT_EQ(received, reply);
    EXPECT_FALSE(offGuiThread);
    EXPECT_GT(smallestCount, 0);

    // Nothing queued any more: a read returns at once with nothing.
    std::string rest = "x";
    EXPECT_EQ(port.ReadText(rest, 100), 0);
    EXPECT_EQ(rest, "");
}

TEST_F(Pty, CloseWhileBytesStreamInReturns) {
    std::size_t total = 0;
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        std::string piece;
        total += static_cast<std::size_t>(sender->ReadText(piece, count));
    };
    port.Open();
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::string chunk(64, 'w');
        while (!stop) {
            if (::write(master, chunk.data(), chunk.size()) < 0 && errno != EAGAIN && errno != EINTR) break;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return total > 1000; }));
    port.Close(); // with the event thread busy handing over
    stop = true;
    writer.join();
    EXPECT_FALSE(port.Connected());
    // The device can be opened again at once.
    port.Open();
    EXPECT_TRUE(port.Connected());
}

TEST_F(Pty, CloseRightAfterAWriteDeliversEveryByteItReported) {
    // A pty takes about 13 KiB that nobody reads; a longer write ends at its time-out.
    port.Timeouts().SetWriteTotalMultiplier(0);
    port.Timeouts().SetWriteTotalConstant(300);
    for (std::size_t size : {4, 1000, 10000, 16000}) {
        port.Open();
        const int written = port.WriteText(std::string(size, 'd'));
        port.Close(); // the far end has read nothing yet
        EXPECT_EQ(ReadFar(static_cast<std::size_t>(written)).size(), static_cast<std::size_t>(written))
            << size;
        EXPECT_GE(written, static_cast<int>(std::min<std::size_t>(size, 10000)));
    }
}

TEST_F(Pty, SecondOpenOfTheSameDeviceFails) {
    port.Open();
    TComPort second;
    second.SetPort(slaveName);
    try {
        second.Open();
        FAIL() << "opened twice";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 1);
        EXPECT_GT(e.SystemCode(), 0);
    }
    EXPECT_FALSE(second.Connected());
    // The first one is unaffected.
    EXPECT_EQ(port.WriteText("ok"), 2);
    EXPECT_EQ(ReadFar(2), "ok");
}

TEST_F(Pty, CustomRateIsAccepted) {
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(250000);
    port.Open();
    EXPECT_TRUE(port.Connected());
    port.SetCustomBaudRate(31250); // changed while open
    EXPECT_EQ(port.WriteText("x"), 1);
}

TEST_F(Pty, FarEndGoneNeitherSpinsNorBlocksClose) {
    int events = 0;
    port.OnRxChar = [&](TCustomComPort* sender, int count) {
        ++events;
        std::string piece;
        try {
            sender->ReadText(piece, count);
        } catch (const EComPort&) {
        }
    };
    port.Open();
    ::close(master);
    master = -1;
    ::close(slave); // nobody else holds the line
    slave = -1;

    const auto wallStart = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    IdleLoop(2000);
    const double cpu = ProcessCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    EXPECT_LT(cpu / wall, 0.05) << "cpu " << cpu << " s over " << wall << " s, " << events << " events";

    EXPECT_THROW(port.WriteText("gone"), EComPort);
    port.Close();
    EXPECT_FALSE(port.Connected());
}

} // namespace

namespace {

TEST_F(Pty, ASerialLinkEndsEachCommandInCrLfAndHandsOnWhatTheScaleSends) {
    TSerialLinkOptions options;
    options.Device = slaveName;
    TSerialLink link(options);
    Told told;
    link.SetListener(&told);
    link.Open();
    ASSERT_EQ(told.opened, 1);
    EXPECT_EQ(link.State(), LinkConnected);
    link.Send("SbP");
    link.Send("Sr1;a");
    EXPECT_EQ(ReadFar(12), "SbP\r\nSr1;a\r\n");
    EXPECT_EQ(told.Wrote(), "SbP\r\nSr1;a\r\n");
    WriteFar("MbP\r\n");
    EXPECT_TRUE(WaitUntil([&] { return told.got == "MbP\r\n"; })) << told.got;
    link.Close();
    EXPECT_EQ(link.State(), LinkDisconnected);
    link.Send("Se"); // closed: nothing, no failure
    EXPECT_EQ(told.Wrote(), "SbP\r\nSr1;a\r\n");
    EXPECT_TRUE(told.failures.empty());
}

TEST_F(Pty, ASerialLinkTakesTheSettingsFileFirstThenItsOwnSettings) {
    QTemporaryDir dir;
    const std::string settingsDir = dir.path().toStdString() + "/";
    std::ofstream(ComPortIniPath(settingsDir))
        << "[ComPort1]\nPort=/dev/scaledb-elsewhere\nBaudRate=115200\nDataBits=7\nFlowControl=Software\n";
    TSerialLinkOptions options;
    options.SettingsDir = settingsDir;
    options.Device = slaveName;
    options.Frame = TSerialLineFrame{8, 'E', 20};
    TSerialLink link(options);
    Told told;
    link.SetListener(&told);
    link.Open();
    ASSERT_EQ(told.opened, 1);
    EXPECT_EQ(link.Port().Port(), slaveName);
    EXPECT_EQ(link.Port().BaudRate(), br115200);
    EXPECT_EQ(link.Port().DataBits(), dbEight);
    EXPECT_EQ(link.Port().Parity().Bits(), prEven);
    EXPECT_EQ(link.Port().StopBits(), sbTwoStopBits);
    EXPECT_EQ(link.Port().FlowControl().FlowControl(), fcSoftware);
    link.Close();
}

TEST(SerialLinkFailures, AMissingDeviceIsToldByItsCode) {
    TSerialLinkOptions options;
    options.Device = "/dev/scaledb-no-such-port";
    TSerialLink link(options);
    Told told;
    link.SetListener(&told);
    link.Open();
    EXPECT_EQ(link.State(), LinkDisconnected);
    EXPECT_EQ(told.opened, 0);
    ASSERT_EQ(told.failures.size(), 1u);
    EXPECT_EQ(told.failures[0].Code, TLinkFault::DeviceMissing);
    EXPECT_EQ(told.failures[0].Message, SerialOpenAdvice(options.Device, ENOENT, ""));
}

TEST(ComPortIni, AMissingFileLeavesThePortAsItWas) {
    QTemporaryDir dir;
    TComPort port;
    port.SetBaudRate(br19200);
    port.SetSavedGroups(TSavedGroups{});
    RestoreComPortIni(port, dir.path().toStdString() + "/");
    EXPECT_EQ(port.BaudRate(), br19200);
    EXPECT_EQ(port.SavedGroups(), TSavedGroups{sgBasic}) << "what the program writes back";
}

} // namespace
