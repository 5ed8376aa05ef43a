// The POSIX serial backend over pseudo-terminals: the test holds the master side,
// the backend opens the slave as the program opens a port.
#include "platform/WinSerial.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "SerialTestDcb.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

// The component's defaults: reads return at once, writes 100 ms per byte + 1 s.
constexpr COMMTIMEOUTS kDefaultTimeouts{MAXDWORD, 0, 0, 100, 1000};

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        path = name;
        close(slave); // the backend opens its own
    }

    void TearDown() override {
        for (HANDLE e : events)
            CloseHandle(e);
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
        if (master >= 0) close(master);
    }

    HANDLE OpenPort() {
        return CreateFileA(("\\\\.\\" + path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    }

    void OpenConfigured() {
        port = OpenPort();
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        DCB d = MainWindowDcb();
        ASSERT_TRUE(SetCommState(port, &d)) << GetLastError();
        ASSERT_TRUE(SetCommTimeouts(port, &kDefaultTimeouts));
        ASSERT_TRUE(SetupComm(port, 1024, 1024));
    }

    HANDLE NewEvent(bool signalled = false) {
        HANDLE e = CreateEventA(nullptr, TRUE, signalled, nullptr);
        events.push_back(e);
        return e;
    }

    void MasterWrite(const std::string& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }

    // Everything the port sent, up to `n` bytes or 5 s.
    std::string MasterRead(std::size_t n) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            char buf[512];
            ssize_t r = read(master, buf, sizeof buf);
            if (r > 0) got.append(buf, r);
        }
        return got;
    }

    DWORD InQueue() {
        DWORD errors = 99;
        COMSTAT stat{};
        EXPECT_TRUE(ClearCommError(port, &errors, &stat)) << GetLastError();
        EXPECT_EQ(errors, 0u);
        return stat.cbInQue;
    }

    bool WaitInQueue(DWORD n) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (InQueue() >= n) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    int master = -1;
    std::string path;
    HANDLE port = INVALID_HANDLE_VALUE;
    std::vector<HANDLE> events;
};

} // namespace

TEST_F(PtyPort, HeldPortFailsToOpenAndOpensAgainAfterClose) {
    OpenConfigured();
    HANDLE second = OpenPort();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(EBUSY));

    ASSERT_TRUE(CloseHandle(port));
    port = OpenPort();
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();

    HANDLE missing = CreateFileA("\\\\.\\/dev/pts/no-such-port", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(missing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ENOENT));
}

TEST_F(PtyPort, WriteArrivesByteExact) {
    OpenConfigured();
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += char(i); // CR, LF, XON, XOFF, NUL, ^C all pass untouched
    HANDLE ev = NewEvent(true);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    DWORD written = 0;
    BOOL ok = WriteFile(port, all.data(), DWORD(all.size()), &written, &ov);
    ASSERT_TRUE(ok || GetLastError() == ERROR_IO_PENDING) << GetLastError();
    ASSERT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
    DWORD transferred = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &transferred, FALSE));
    EXPECT_EQ(transferred, all.size());
    EXPECT_EQ(MasterRead(all.size()), all);
}

TEST_F(PtyPort, ReceivedBytesAreCountedAndReadExactly) {
    OpenConfigured();
    const std::string sent = std::string("Mr\r\n\x11\x13\0\x7f\xff", 9);
    MasterWrite(sent);
    ASSERT_TRUE(WaitInQueue(DWORD(sent.size())));
    EXPECT_EQ(InQueue(), sent.size());

    std::string buf(64, '\0');
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port, buf.data(), DWORD(buf.size()), &n, nullptr)) << GetLastError();
    EXPECT_EQ(buf.substr(0, n), sent);

    // With nothing queued the default timeouts return at once with nothing.
    ASSERT_TRUE(ReadFile(port, buf.data(), DWORD(buf.size()), &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(InQueue(), 0u);
}

TEST_F(PtyPort, ReadWithTotalTimeoutReturnsWhatCameWhenTheTimeRunsOut) {
    OpenConfigured();
    COMMTIMEOUTS t{0, 0, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    MasterWrite("abc");
    std::string buf(10, '\0');
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port, buf.data(), 10, &n, nullptr));
    EXPECT_EQ(buf.substr(0, n), "abc");

    // Fewer wanted than queued: exactly that many, the rest stays.
    MasterWrite("12345");
    ASSERT_TRUE(WaitInQueue(5));
    ASSERT_TRUE(ReadFile(port, buf.data(), 2, &n, nullptr));
    EXPECT_EQ(buf.substr(0, n), "12");
    EXPECT_EQ(InQueue(), 3u);
}

TEST_F(PtyPort, PtyHasNoSignalsOrErrorsAndPurgeEmptiesInput) {
    OpenConfigured();
    DWORD status = 123;
    ASSERT_TRUE(GetCommModemStatus(port, &status)) << GetLastError();
    EXPECT_EQ(status, 0u);
    MasterWrite("stale");
    ASSERT_TRUE(WaitInQueue(5));
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT));
    EXPECT_EQ(InQueue(), 5u); // aborting is not clearing
    ASSERT_TRUE(PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR)) << GetLastError();
    EXPECT_EQ(InQueue(), 0u);
}

TEST_F(PtyPort, PurgeAbortEndsAReadBlockedWithoutTimeouts) {
    OpenConfigured();
    COMMTIMEOUTS none{0, 0, 0, 0, 0}; // wait for all bytes, forever
    ASSERT_TRUE(SetCommTimeouts(port, &none));
    std::atomic<bool> done{false};
    BOOL ok = TRUE;
    DWORD error = 0;
    std::thread reader([&] {
        char buf[4];
        DWORD n = 0;
        ok = ReadFile(port, buf, sizeof buf, &n, nullptr);
        error = GetLastError();
        done = true;
    });
    MasterWrite("x"); // one of four bytes: the read keeps waiting
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        PurgeComm(port, PURGE_RXABORT);
        std::this_thread::sleep_for(5ms);
    }
    reader.join();
    EXPECT_TRUE(done);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
}

TEST_F(PtyPort, WaitCommEventReportsEachArrivalOnce) {
    OpenConfigured();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    HANDLE ev = NewEvent(true); // created signalled, as the event thread does
    OVERLAPPED ov{};
    ov.hEvent = ev;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    MasterWrite("Mb");
    ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(mask, EV_RXCHAR);

    // Left unread: no new bytes, no new report (no event storm).
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(WaitForSingleObject(ev, 100), WAIT_TIMEOUT);
    // New bytes behind the unread ones are reported.
    MasterWrite("P\r\n");
    ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(mask, EV_RXCHAR);

    char buf[16];
    ASSERT_TRUE(ReadFile(port, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "MbP\r\n");
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(WaitForSingleObject(ev, 100), WAIT_TIMEOUT);

    // Stopping: clearing the mask ends the pending wait with no events.
    ASSERT_TRUE(SetCommMask(port, 0));
    ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(mask, 0u);
}

TEST_F(PtyPort, DataQueuedBeforeTheWaitIsReportedAndTxEmptyFollowsAWrite) {
    OpenConfigured();
    MasterWrite("early");
    ASSERT_TRUE(WaitInQueue(5));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));
    HANDLE ev = NewEvent(true);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    DWORD mask = 0, n = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(mask, EV_RXCHAR);
    char buf[16];
    ASSERT_TRUE(ReadFile(port, buf, sizeof buf, &n, nullptr));

    ASSERT_TRUE(WriteFile(port, "SbP\r\n", 5, &n, nullptr));
    EXPECT_EQ(MasterRead(5), "SbP\r\n");
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(mask, EV_TXEMPTY);
}

TEST_F(PtyPort, AnEventNotedWhileNoWaitWasPendingEndsTheNextWaitAtOnce) {
    OpenConfigured();
    ASSERT_TRUE(SetupComm(port, 10, 10)); // 80 % full at 8 bytes
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RX80FULL));
    HANDLE ev = NewEvent(true);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    MasterWrite("123456789");
    ASSERT_TRUE(WaitInQueue(9));
    DWORD seen = 0, mask = 0, n = 0;
    // However the two events are split over waits, no further input is needed for both.
    while (seen != (EV_RXCHAR | EV_RX80FULL)) {
        ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
        ASSERT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0) << "seen so far: " << seen;
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
        seen |= mask;
    }
    ASSERT_TRUE(SetCommMask(port, 0));
}

TEST_F(PtyPort, DsrFlowAndSensitivityTreatAPtyAsDsrLow) {
    OpenConfigured();
    DCB d = MainWindowDcb();
    d.fOutxDsrFlow = 1;
    d.fDsrSensitivity = 1;
    ASSERT_TRUE(SetCommState(port, &d));
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    DWORD n = 99;
    EXPECT_TRUE(WriteFile(port, "held", 4, &n, nullptr)) << GetLastError();
    EXPECT_EQ(n, 0u); // output waits for DSR until the write's time is up
    MasterWrite("ignored");
    ASSERT_TRUE(WaitInQueue(7));
    char buf[16];
    ASSERT_TRUE(ReadFile(port, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u); // input while DSR is low is dropped
    EXPECT_EQ(InQueue(), 0u);
}

TEST_F(PtyPort, SignalsDoNotPostponeAWriteDeadline) {
    OpenConfigured();
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 300};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    struct sigaction quiet {
    }, saved{};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &saved), 0);

    // Nobody reads the far end, so the write waits for room until its 300 ms are up,
    // while a signal lands every half millisecond.
    const pthread_t writer = pthread_self();
    std::atomic<bool> written{false};
    bool gaveUp = false;
    std::thread storm([&] {
        const auto limit = std::chrono::steady_clock::now() + 10s;
        while (!written) {
            if (std::chrono::steady_clock::now() > limit) {
                gaveUp = true;
                break;
            }
            pthread_kill(writer, SIGUSR1);
            std::this_thread::sleep_for(500us);
        }
    });
    const std::string block(1 << 20, 'w');
    DWORD n = 0;
    const BOOL ok = WriteFile(port, block.data(), DWORD(block.size()), &n, nullptr);
    written = true;
    storm.join();
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_TRUE(ok) << GetLastError();
    EXPECT_LT(n, block.size());
    EXPECT_FALSE(gaveUp) << "the write outlasted 10 s of signals";
}

// The far end going away looks like an unplugged USB adapter.
TEST_F(PtyPort, HangUpNeitherSpinsNorCompletesWaitsAndCloseIsPrompt) {
    OpenConfigured();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_TXEMPTY | EV_ERR | EV_CTS | EV_DSR | EV_RLSD | EV_RING));
    HANDLE stop = NewEvent();
    HANDLE ev = NewEvent(true);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));

    close(master);
    master = -1;
    const double cpuBefore = ProcessCpuSeconds();
    const HANDLE waitList[2] = {stop, ev};
    // The event thread's wait: nothing completes, and nothing burns the processor meanwhile.
    EXPECT_EQ(WaitForMultipleObjects(2, waitList, FALSE, 1500), WAIT_TIMEOUT);
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    EXPECT_LT(cpu, 0.05 * 1.5) << "process CPU while the device was gone: " << cpu << " s";

    DWORD n = 99;
    EXPECT_FALSE(WriteFile(port, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(EIO));
    char buf[8];
    EXPECT_TRUE(ReadFile(port, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    // The component aborts before closing; that must not fail on a dead device.
    EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT));

    ASSERT_TRUE(SetCommMask(port, 0)); // the event thread's way out
    EXPECT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
}
