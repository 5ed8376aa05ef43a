#pragma once
// An exclusive lock on a file, held across processes (flock): the kernel lets
// it go when its holder ends, however it ends, so a killed holder leaves no
// stale lock. The file also carries a short note from its holder (who it is),
// for those who find it taken.
#include <string>

namespace platform {

class FileLock {
public:
    enum class Result {
        Taken, // held by this object now
        Busy,  // another open file holds it (another process, or another FileLock here)
        Failed // the file cannot be made or locked: see the error
    };

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock of `path` (made when missing, its folder too) without waiting.
    // On Taken, `note` replaces what the file says. `error` gets why on Failed.
    Result TryLock(const std::string& path, const std::string& note, std::string* error = nullptr);
    // Releases it; nothing when not held.
    void Unlock();
    bool Locked() const { return fd_ >= 0; }

    // What the holder of `path` wrote; "" when nothing or no such file.
    static std::string ReadNote(const std::string& path);

private:
    int fd_ = -1;
};

} // namespace platform
