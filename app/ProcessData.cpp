#include "ProcessData.h"

#include "app/okno.h"

namespace {
// Without a window replies are only assembled, and dropped at their LF.
std::string gNoWindow;
} // namespace

const std::string& ReplyBuffer() {
    return Form1 ? Form1->FEngine.ReplyBuffer() : gNoWindow;
}

void ProcessReply(const std::string& text) {
    if (Form1) {
        if (!Form1->Closing()) Form1->FEngine.Feed(text);
        return;
    }
    gNoWindow += text;
    if (gNoWindow.find('\n') != std::string::npos || gNoWindow.size() > MaxReplyBuffer) gNoWindow.clear();
}
