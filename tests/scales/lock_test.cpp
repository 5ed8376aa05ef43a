// One sender per scale across processes: the lock, who holds it, and waiting for it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "scales/ScaleLock.h"

using namespace scales;

namespace {

// The test executable again, holding the lock of KEY in FOLDER until its standard input closes.
class Holder {
public:
    Holder(const std::string& folder, const std::string& key) {
        FProcess.start(QCoreApplication::applicationFilePath(),
                       {"--lock-holder", QString::fromStdString(folder), QString::fromStdString(key)});
        // It says when it holds the lock.
        while (FProcess.state() != QProcess::NotRunning && !FProcess.canReadLine())
            FProcess.waitForReadyRead(30000);
        FSaid = FProcess.readLine().trimmed().toStdString();
    }
    ~Holder() {
        if (FProcess.state() != QProcess::NotRunning) {
            FProcess.kill();
            FProcess.waitForFinished(30000);
        }
    }
    const std::string& Said() const { return FSaid; }
    int Pid() const { return static_cast<int>(FProcess.processId()); }
    void LetGo() { FProcess.closeWriteChannel(); }
    void Kill() {
        ::kill(static_cast<pid_t>(FProcess.processId()), SIGKILL);
        FProcess.waitForFinished(30000);
    }

private:
    QProcess FProcess;
    std::string FSaid;
};

Target Looked(const std::string& text) {
    std::vector<Target> t{ParseTarget(text)};
    LookUpHosts(t);
    return t[0];
}

} // namespace

TEST(ScaleLock, ASecondSenderIsToldWhoHoldsTheScaleAndGetsItWhenTheHolderLetsGoOrDies) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/locks";
    const std::string key = LockKey(ParseTarget("tcp:127.0.0.1:4001"));

    Holder holder(folder, key);
    ASSERT_EQ(holder.Said(), "taken");
    TScaleLock lock(folder);
    const std::string refusal = lock.TryTake(key, "scaledb");
    EXPECT_EQ(refusal.rfind("being sent by lock-holder, pid " + std::to_string(holder.Pid()) + ", since ", 0),
              0u)
        << refusal;
    EXPECT_FALSE(lock.Held());
    // The time is a clock time today: "since 02:00:03".
    EXPECT_EQ(refusal.size(), std::string("being sent by lock-holder, pid , since 02:00:03").size() +
                                  std::to_string(holder.Pid()).size())
        << refusal;

    // Waiting without blocking the loop: taken once the holder lets go.
    std::string result = "not called";
    QEventLoop loop;
    lock.Take(key, "scaledb", 60000, [&](const std::string& why) {
        result = why;
        loop.quit();
    });
    EXPECT_EQ(result, "not called");
    QTimer::singleShot(0, [&] { holder.LetGo(); });
    loop.exec();
    EXPECT_EQ(result, "");
    EXPECT_TRUE(lock.Held());
    lock.Release();

    // A holder that is killed holds nothing.
    Holder killed(folder, key);
    ASSERT_EQ(killed.Said(), "taken");
    EXPECT_NE(lock.TryTake(key, "scaledb"), "");
    killed.Kill();
    EXPECT_EQ(lock.TryTake(key, "scaledb"), "");
    // Held here now: another sender in this process is refused too, then waits in vain.
    TScaleLock other(folder);
    const std::string mine = "being sent by scaledb, pid " + std::to_string(::getpid());
    EXPECT_EQ(other.TryTake(key, "scaledb-send").rfind(mine, 0), 0u);
    EXPECT_EQ(other.TakeWithin(key, "scaledb-send", 150).rfind(mine, 0), 0u);
    std::string late = "not called";
    other.Take(key, "scaledb-send", 0, [&](const std::string& why) { late = why; });
    EXPECT_EQ(late.rfind(mine, 0), 0u) << late;
    lock.Release();
    EXPECT_EQ(other.TakeWithin(key, "scaledb-send", 150), "");
}

TEST(ScaleLock, TwoSpellingsOfOneScaleShareOneLock) {
    QTemporaryDir dir;
    EXPECT_EQ(LockKey(Looked("tcp:localhost:4001")), LockKey(ParseTarget("tcp:127.0.0.1:4001")));
    EXPECT_NE(LockKey(ParseTarget("tcp:127.0.0.1:4001")), LockKey(ParseTarget("udp:127.0.0.1:4001")));
    EXPECT_NE(LockKey(ParseTarget("tcp:127.0.0.1:4001")), LockKey(ParseTarget("tcp:127.0.0.1:4002")));
    const std::string device = dir.path().toStdString() + "/ttyUSB0";
    std::ofstream(device).put('\n');
    std::filesystem::create_symlink(device, dir.path().toStdString() + "/by-id-scale");
    EXPECT_EQ(LockKey(ParseTarget("serial:" + dir.path().toStdString() + "/by-id-scale@9600")),
              LockKey(ParseTarget("serial:" + device)));

    // A key any host name may give still makes a file name.
    TScaleLock lock(dir.path().toStdString());
    EXPECT_EQ(lock.TryTake("tcp " + std::string(300, 'a') + ":4001", "scaledb"), "");
    EXPECT_EQ(lock.TryTake("serial /dev/../x y", "scaledb"), "");
}

TEST(ScaleLock, TheHoldersNoteIsReadBackAndAnUnreadableOneStillRefuses) {
    LockHolder h{"scaledb-send", 4711, 1'765'245'603'000};
    const auto back = ParseLockNote(LockNote(h));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->program, "scaledb-send");
    EXPECT_EQ(back->pid, 4711);
    EXPECT_EQ(back->since, 1'765'245'603'000);
    EXPECT_FALSE(ParseLockNote("").has_value());
    EXPECT_FALSE(ParseLockNote("pid=x since=1 program=a").has_value());
    EXPECT_EQ(BusyWords(std::nullopt), "being sent by another program");
    // Another day's lock names the day.
    EXPECT_EQ(BusyWords(h).rfind("being sent by scaledb-send, pid 4711, since 20", 0), 0u) << BusyWords(h);

    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/locks";
    TScaleLock a(folder), b(folder);
    // A folder that cannot be made is said as such, never taken for "busy".
    TScaleLock nowhere("/proc/scaledb-test/locks");
    EXPECT_EQ(nowhere.TryTake("tcp 127.0.0.1:1", "scaledb").rfind("cannot lock the scale: ", 0), 0u);
    ASSERT_EQ(a.TryTake("tcp 127.0.0.1:1", "scaledb"), "");
    std::ofstream(a.PathOf("tcp 127.0.0.1:1"), std::ios::trunc) << "garbage";
    EXPECT_EQ(b.TryTake("tcp 127.0.0.1:1", "scaledb"), "being sent by another program");
}
