#include "ProcessData.h"

#include "app/okno.h"

const std::string& ReplyBuffer() {
    static const std::string none;
    return Form1 ? Form1->FTransfer.Engine().ReplyBuffer() : none;
}

void ProcessReply(const std::string& text) {
    if (!Form1 || Form1->Closing()) return;
    Form1->FTransfer.Feed(text);
}
