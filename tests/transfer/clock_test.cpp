// The engine's Qt timers: a reply time-out that starts over with every command
// leaves Qt's timer running, and must still fire once, when its last start says.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "transfer/Clock.h"

namespace {

// Runs the loop until `done` or five seconds.
bool RunUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    return done();
}

TEST(QtClock, ATimerStartedOverLaterOrStoppedFiresOnlyWhenItsLastStartSays) {
    auto timer = transfer::QtClock().NewTimer(false);
    int fired = 0;
    timer->OnTimeout = [&] { ++fired; };

    // Pushed back: the first wait runs out long before the second, which is the one that counts.
    timer->Start(1);
    timer->Start(3000);
    bool probed = false;
    QTimer::singleShot(100, [&] { probed = true; });
    ASSERT_TRUE(RunUntil([&] { return probed; }));
    EXPECT_EQ(fired, 0);
    EXPECT_TRUE(timer->Active());

    // Brought forward: it fires at the new time, once.
    timer->Start(1);
    ASSERT_TRUE(RunUntil([&] { return fired > 0; }));
    EXPECT_FALSE(timer->Active());

    // Stopped: Qt's timer may still run out, and nothing happens.
    timer->Start(1);
    timer->Stop();
    probed = false;
    QTimer::singleShot(100, [&] { probed = true; });
    ASSERT_TRUE(RunUntil([&] { return probed; }));
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer->Active());
}

} // namespace
