#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Replaces the file at `path` with `contents` so that a crash or a full disk
// leaves either the old file or the new one, never half of one: the bytes go
// to a temporary file in the same directory, are flushed, then renamed over it.
// A symbolic link is followed: its target is replaced and the link stays.
// A file that is read-only (no write permission bit, or not writable by this
// user) or is not a regular file is left as it is.
// Throws std::runtime_error when the file cannot be written.
void WriteFileAtomically(const std::string& path, const std::string& contents);
// The same with the contents given in pieces, written one after the other.
void WriteFileAtomically(const std::string& path, const std::vector<std::string_view>& pieces);

// Reads a whole regular file. Returns false when it cannot be opened or read,
// or is not a regular file (a FIFO or device is never opened for blocking reads).
bool ReadWholeFile(const std::string& path, std::string& contents);

} // namespace platform
