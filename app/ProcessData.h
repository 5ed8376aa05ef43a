#pragma once
// Reply buffer and matching of the scale's acknowledgements.
#include <cstddef>
#include <string>

// Largest reply kept while waiting for its LF; a longer one is dropped.
constexpr std::size_t MaxReplyBuffer = 64 * 1024;

// Called on the GUI thread with each piece of received text, from any link.
// Collects pieces until an LF, matches the trimmed reply against what the
// sequencer of Form1 expects, advances it on a match and arms TimerBaza.
void ProcessReply(const std::string& text);

// The reply collected so far (for inspection).
const std::string& ReplyBuffer();
