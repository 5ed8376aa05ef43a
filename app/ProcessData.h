#pragma once
// Reply buffer and matching of the scale's acknowledgements.
#include <string>

#include "transfer/TransferEngine.h" // MaxReplyBuffer

// Called on the GUI thread with each piece of received text, from any link.
// Hands it to the transfer engine of Form1, which collects pieces until an
// LF, matches the trimmed reply, advances FRowIndex on a match and arms
// TimerBaza. Without a window, or while it closes, the text is dropped.
void ProcessReply(const std::string& text);

// The reply collected so far (for inspection).
const std::string& ReplyBuffer();
