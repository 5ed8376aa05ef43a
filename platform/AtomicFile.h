#pragma once
#include <string>

namespace platform {

// Replaces the file at `path` with `contents` so that a crash or a full disk
// leaves either the old file or the new one, never half of one: the bytes go
// to a temporary file in the same directory, are flushed, then renamed over it.
// Throws std::runtime_error when the file cannot be written.
void WriteFileAtomically(const std::string& path, const std::string& contents);

// Reads a whole file. Returns false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& contents);

} // namespace platform
