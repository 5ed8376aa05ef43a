// The fake backend must carry the component's whole open -> event thread -> close cycle,
// or the component's tests would pass against a double that cannot do what they need.
#include "platform/SerialFake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform;

namespace {

// An event loop shaped like the port's event thread.
class EventLoop {
public:
    explicit EventLoop(HANDLE port) : port_(port), stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        SetCommMask(port_, EV_RXCHAR | EV_ERR);
        thread_ = std::thread([this] { Run(); });
    }
    ~EventLoop() {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }
    std::vector<DWORD> Masks() {
        std::lock_guard lock(m_);
        return masks_;
    }

private:
    void Run() {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        const HANDLE list[2] = {stop_, ov.hEvent};
        DWORD mask = 0; // written when the wait ends, which may be at SetCommMask(0) below
        for (;;) {
            DWORD n = 0;
            WaitCommEvent(port_, &mask, &ov);
            if (WaitForMultipleObjects(2, list, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
            if (GetOverlappedResult(port_, &ov, &n, FALSE)) {
                std::lock_guard lock(m_);
                masks_.push_back(mask);
            }
        }
        SetCommMask(port_, 0);
        PurgeComm(port_, PURGE_TXCLEAR | PURGE_RXCLEAR);
        CloseHandle(ov.hEvent);
    }

    HANDLE port_;
    HANDLE stop_;
    std::thread thread_;
    std::mutex m_;
    std::vector<DWORD> masks_;
};

template <class F> bool Eventually(F f) {
    for (int i = 0; i < 5000; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

} // namespace

TEST(FakeSerial, CarriesTheEventThreadCycle) {
    FakeSerial fake;
    fake.AddDevice("COM3");
    HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    {
        EventLoop loop(port);
        ASSERT_TRUE(Eventually([&] { return fake.WaitPending(); }));
        fake.QueueInput("MbP\r\n");
        ASSERT_TRUE(Eventually([&] { return loop.Masks().size() == 1; }));
        EXPECT_EQ(loop.Masks()[0], EV_RXCHAR);

        char buf[16];
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(port, buf, sizeof buf, &n, nullptr));
        EXPECT_EQ(std::string(buf, n), "MbP\r\n");

        ASSERT_TRUE(Eventually([&] { return fake.WaitPending(); }));
        fake.RaiseEvents(512); // bits nobody knows still complete the wait
        ASSERT_TRUE(Eventually([&] { return loop.Masks().size() == 2; }));
        EXPECT_EQ(loop.Masks()[1], 512u);
    }
    EXPECT_FALSE(fake.WaitPending());
    EXPECT_TRUE(CloseHandle(port));

    const auto ops = fake.Ops();
    ASSERT_GE(ops.size(), 4u);
    EXPECT_EQ(ops.front(), "CreateFileA");
    EXPECT_EQ(fake.Calls().front().text, "\\\\.\\COM3");
    EXPECT_EQ(ops[ops.size() - 3], "SetCommMask");
    EXPECT_EQ(fake.Calls()[ops.size() - 3].args, std::vector<std::int64_t>{0});
    EXPECT_EQ(ops[ops.size() - 2], "PurgeComm");
    EXPECT_EQ(ops.back(), "CloseHandle");
}

TEST(FakeSerial, ChosenFailuresAndOneShotErrors) {
    FakeSerial fake;
    fake.AddDevice("COM1");
    EXPECT_EQ(CreateFileA("\\\\.\\COM2", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 2u);
    HANDLE port = CreateFileA("\\\\.\\COM1", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    fake.FailNext("WriteFile", 31);
    HANDLE ev = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    OVERLAPPED ov{};
    ov.hEvent = ev;
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(port, "ab", 2, &n, &ov));
    EXPECT_EQ(GetLastError(), 31u);
    EXPECT_TRUE(WriteFile(port, "cd", 2, &n, &ov)); // only the next one failed
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(fake.Written(), "cd");

    fake.SetErrors(CE_FRAME | CE_RXPARITY);
    fake.QueueInput("xyz");
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY);
    EXPECT_EQ(stat.cbInQue, 3u);
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u); // taken by the first call

    fake.FailAlways("GetCommModemStatus", 5);
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &status));
    EXPECT_FALSE(GetCommModemStatus(port, &status));
    EXPECT_EQ(GetLastError(), 5u);

    CloseHandle(ev);
    CloseHandle(port);
}

TEST(FakeSerial, AHandleThatOutlivesItsFakeFailsInsteadOfTouchingIt) {
    HANDLE port;
    {
        FakeSerial fake;
        fake.AddDevice("COM1");
        port = CreateFileA("\\\\.\\COM1", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(port, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(port));
}
