#include "ProcessData.h"

#include "app/okno.h"

namespace {

std::string gReply;

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

} // namespace

const std::string& ReplyBuffer() {
    return gReply;
}

void ProcessReply(const std::string& text) {
    if (Form1 && Form1->Closing()) return;
    gReply += text;
    if (gReply.find('\n') == std::string::npos) {
        // A peer that never ends its line must not grow the buffer forever.
        if (gReply.size() > MaxReplyBuffer) gReply.clear();
        return;
    }
    if (!Form1) {
        gReply.clear();
        return;
    }
    const std::string reply = Trim(gReply);
    std::int32_t& k = Form1->FRowIndex;
    bool match;
    if (k == -1)
        match = reply == "Me";
    else if (k == 0)
        match = (Form1->rgBaza->ItemIndex() == 0 && reply == "MbP") ||
                (Form1->rgBaza->ItemIndex() == 1 && reply == "MbU");
    else
        match = reply == "Mr";
    if (match) {
        if (k == -1)
            k = -2;
        else if (k >= 0)
            k += 1;
    }
    Form1->ArmTimerBaza();
    gReply.clear();
}
