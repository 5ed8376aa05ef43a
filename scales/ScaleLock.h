#pragma once
// One sender per scale, across processes: the window, the board and every
// scaledb-send take a scale's lock before its link opens, so two tables never
// interleave on one scale. The lock is a file per scale in the data folder
// (beside the history, which the same programs share), held with flock: a
// sender that dies lets it go at once. Its file says who holds it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/FileLock.h"
#include "scales/Targets.h"

class QTimer;

namespace scales {

// platform::DataDir() + "locks/".
std::string LockFolder();

// The key a scale is locked by: its address and port once looked up, or its
// device after symbolic links (so two spellings of one scale share a lock),
// else its ScaleKey.
std::string LockKey(const Target& target);

// Who holds a lock, as its file says.
struct LockHolder {
    std::string program;
    int pid = 0;
    std::int64_t since = 0; // UTC ms
};
std::optional<LockHolder> ParseLockNote(const std::string& note);
std::string LockNote(const LockHolder& holder);
// "being sent by scaledb-send, pid 4711, since 02:00:03" (with the date when
// not today); "being sent by another program" when its file says nothing.
std::string BusyWords(const std::optional<LockHolder>& holder);
// Is `refusal` (of TryTake) another sender holding the scale, rather than a lock
// file that cannot be made? Only the former is worth waiting for.
bool HeldByAnother(const std::string& refusal);

class TScaleLock {
public:
    explicit TScaleLock(std::string folder = LockFolder());
    ~TScaleLock();
    TScaleLock(const TScaleLock&) = delete;
    TScaleLock& operator=(const TScaleLock&) = delete;

    // Takes the lock of scale `key` (LockKey) for `program` at once. Returns ""
    // when taken, else why not: BusyWords, or why the lock file failed.
    std::string TryTake(const std::string& key, const std::string& program);
    // The same, waiting up to `waitMs` for the holder to let go; blocks the thread.
    std::string TakeWithin(const std::string& key, const std::string& program, int waitMs);
    // The same without blocking, on the calling thread's Qt event loop: `done`
    // is called once, with "" when taken or why not after `waitMs` (0: at once,
    // perhaps before Take returns). Destroying or releasing the lock cancels it.
    void Take(const std::string& key, const std::string& program, int waitMs,
              std::function<void(const std::string& refusal)> done);
    void Release();
    bool Held() const { return FLock.Locked(); }
    // The lock file of `key`.
    std::string PathOf(const std::string& key) const;

private:
    std::string FFolder;
    platform::FileLock FLock;
    std::unique_ptr<QTimer> FWait;
};

} // namespace scales
