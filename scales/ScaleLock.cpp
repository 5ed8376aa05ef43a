#include "ScaleLock.h"

#include "History.h"
#include "platform/Paths.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <sstream>
#include <unistd.h>

namespace scales {

namespace {

// How often a waiting sender asks again; flock itself has no time-out.
constexpr int kRetryMs = 100;

std::string FileName(const std::string& key) {
    std::string name;
    for (unsigned char c : key) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            name += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            name += hex;
        }
    }
    // A file name has at most 255 bytes; a long host name is hashed.
    if (name.size() > 200) name = DigestBytes(key).sha256;
    return name + ".lock";
}

} // namespace

std::string LockFolder() {
    return platform::DataDir() + "locks/";
}

std::string LockKey(const Target& target) {
    if (auto same = SameScaleKey(target)) return *same;
    return ScaleKey(target.text);
}

std::string LockNote(const LockHolder& holder) {
    return "pid=" + std::to_string(holder.pid) + " since=" + std::to_string(holder.since) +
           " program=" + holder.program;
}

std::optional<LockHolder> ParseLockNote(const std::string& note) {
    LockHolder h;
    std::istringstream in(note);
    std::string pid, since;
    if (!(in >> pid >> since) || pid.rfind("pid=", 0) != 0 || since.rfind("since=", 0) != 0)
        return std::nullopt;
    auto number = [](const std::string& text, auto& value) {
        const auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        return ec == std::errc() && p == text.data() + text.size();
    };
    if (!number(pid.substr(4), h.pid) || !number(since.substr(6), h.since)) return std::nullopt;
    std::string rest;
    std::getline(in, rest);
    if (rest.rfind(" program=", 0) != 0) return std::nullopt;
    h.program = rest.substr(9);
    return h;
}

std::string BusyWords(const std::optional<LockHolder>& holder) {
    if (!holder) return "being sent by another program";
    const QDateTime since = QDateTime::fromMSecsSinceEpoch(holder->since);
    const bool today = since.date() == QDate::currentDate();
    const std::string when = since.toString(today ? "HH:mm:ss" : "yyyy-MM-dd HH:mm:ss").toStdString();
    return "being sent by " + (holder->program.empty() ? std::string("another program") : holder->program) +
           ", pid " + std::to_string(holder->pid) + ", since " + when;
}

bool HeldByAnother(const std::string& refusal) {
    return refusal.rfind("being sent by ", 0) == 0;
}

TScaleLock::TScaleLock(std::string folder) : FFolder(std::move(folder)) {
    if (!FFolder.empty() && FFolder.back() != '/') FFolder += '/';
}

TScaleLock::~TScaleLock() {
    Release();
}

std::string TScaleLock::PathOf(const std::string& key) const {
    return FFolder + FileName(key);
}

std::string TScaleLock::TryTake(const std::string& key, const std::string& program) {
    const std::string path = PathOf(key);
    LockHolder self;
    self.program = program;
    self.pid = static_cast<int>(::getpid());
    self.since = NowUtcMs();
    std::string error;
    switch (FLock.TryLock(path, LockNote(self), &error)) {
    case platform::FileLock::Result::Taken:
        return {};
    case platform::FileLock::Result::Busy:
        return BusyWords(ParseLockNote(platform::FileLock::ReadNote(path)));
    case platform::FileLock::Result::Failed:
        break;
    }
    return "cannot lock the scale: " + error;
}

std::string TScaleLock::TakeWithin(const std::string& key, const std::string& program, int waitMs) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        std::string refusal = TryTake(key, program);
        if (refusal.empty() || Held() || waited.elapsed() >= waitMs || !HeldByAnother(refusal))
            return refusal;
        QThread::msleep(kRetryMs);
    }
}

void TScaleLock::Take(const std::string& key, const std::string& program, int waitMs,
                      std::function<void(const std::string& refusal)> done) {
    FWait.reset();
    std::string refusal = TryTake(key, program);
    if (refusal.empty() || waitMs <= 0 || !HeldByAnother(refusal)) {
        done(refusal);
        return;
    }
    FWait = std::make_unique<QTimer>();
    FWait->setInterval(kRetryMs);
    auto waited = std::make_shared<QElapsedTimer>();
    waited->start();
    QObject::connect(FWait.get(), &QTimer::timeout, FWait.get(), [this, key, program, waitMs, waited, done] {
        const std::string why = TryTake(key, program);
        if (HeldByAnother(why) && waited->elapsed() < waitMs) return;
        // The timer goes before `done`, which may destroy this lock.
        QTimer* timer = FWait.release();
        timer->stop();
        timer->deleteLater();
        done(why);
    });
    FWait->start();
}

void TScaleLock::Release() {
    FWait.reset();
    FLock.Unlock();
}

} // namespace scales
