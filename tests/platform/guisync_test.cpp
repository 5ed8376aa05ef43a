// Hand-over to the GUI thread (this test's main thread) and sent window messages.
#include "platform/GuiSync.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

using namespace platform;
using namespace std::chrono_literals;

namespace {

// A worker thread that tells GUI-side waiters when it is done.
class Worker {
public:
    template <class F>
    explicit Worker(F f)
        : thread_([this, f] {
              f();
              done_ = true;
              WakeWaiters();
          }) {}
    ~Worker() { thread_.join(); }
    bool Done() const { return done_; }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

} // namespace

TEST(GuiSync, HandOverRunsOnTheGuiThreadAndCarriesExceptionsBack) {
    QThread* gui = QThread::currentThread();
    QThread* ranOn = nullptr;
    std::string caught;
    Worker w([&] {
        Synchronize([&] { ranOn = QThread::currentThread(); });
        try {
            Synchronize([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
    });
    WaitFor([&] { return w.Done(); });
    EXPECT_EQ(ranOn, gui);
    EXPECT_EQ(caught, "handler failed");
}

TEST(GuiSync, OnTheGuiThreadItIsADirectCall) {
    int calls = 0;
    Synchronize([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    EXPECT_THROW(Synchronize([] { throw std::logic_error("x"); }), std::logic_error);
    EXPECT_TRUE(IsGuiThread());
}

// Closing a port waits for its event thread, which may sit in a hand-over: the wait
// must serve it, or both threads wait for each other.
TEST(GuiSync, WaitForServesAThreadBlockedInHandOvers) {
    int served = 0;
    Worker w([&] {
        for (int i = 0; i < 200; ++i)
            Synchronize([&] { ++served; });
    });
    WaitFor([&] { return w.Done(); });
    EXPECT_EQ(served, 200);
}

TEST(GuiSync, TheEventLoopAloneServesHandOvers) {
    std::atomic<bool> ran{false};
    Worker w([&] { Synchronize([&] { ran = true; }); });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!w.Done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(w.Done());
}

TEST(GuiSync, WaitForOnAnotherThreadReturnsWhenWoken) {
    std::atomic<bool> flag{false};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        WaitFor([&] { return flag.load(); });
        returned = true;
    });
    flag = true;
    WakeWaiters();
    waiter.join();
    EXPECT_TRUE(returned);
}

TEST(GuiSync, SentMessageRunsTheProcedureOnTheGuiThread) {
    QThread* gui = QThread::currentThread();
    QThread* ranOn = nullptr;
    bool inSend = false;
    HWND h = AllocateHWnd([&](UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        ranOn = QThread::currentThread();
        inSend = InSendMessage();
        return msg == WM_USER + 1 ? LRESULT(w + l) : 0;
    });
    LRESULT result = 0;
    Worker w([&] { result = SendMessageA(h, WM_USER + 1, 40, 2); });
    WaitFor([&] { return w.Done(); });
    EXPECT_EQ(result, 42);
    EXPECT_EQ(ranOn, gui);
    EXPECT_TRUE(inSend);

    // From the GUI thread: a plain call, not a message from another thread.
    EXPECT_EQ(SendMessageA(h, WM_USER + 1, 1, 1), 2);
    EXPECT_FALSE(inSend);
    EXPECT_FALSE(ReplyMessage(0));
    DeallocateHWnd(h);
}

TEST(GuiSync, ReplyMessageReleasesTheSenderBeforeTheProcedureEnds) {
    std::atomic<bool> senderBack{false};
    bool sawSenderBack = false;
    HWND h = AllocateHWnd([&](UINT, WPARAM, LPARAM) -> LRESULT {
        EXPECT_TRUE(ReplyMessage(7));
        EXPECT_FALSE(ReplyMessage(8)); // only once
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!senderBack && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        sawSenderBack = senderBack;
        return 9; // too late: the sender already has its answer
    });
    LRESULT result = 0;
    Worker w([&] {
        result = SendMessageA(h, WM_USER + 1, 0, 0);
        senderBack = true;
    });
    WaitFor([&] { return w.Done(); });
    EXPECT_TRUE(sawSenderBack);
    EXPECT_EQ(result, 7);
    DeallocateHWnd(h);
}
