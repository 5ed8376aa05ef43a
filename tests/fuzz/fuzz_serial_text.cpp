// The text forms of the serial settings: every value's text parses back to
// it, any text parses to a value of the table whatever its letter case, and
// characters survive their text form.
#include "links/serial/CPort.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <string>

namespace {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}
std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// One table: its `count` values, its two directions and its fallback.
template <typename E, typename ToText, typename FromText>
void Table(const std::string& text, int count, ToText toText, FromText fromText, E fallback) {
    bool listed = false;
    for (int i = 0; i < count; ++i) {
        const E v = static_cast<E>(i);
        FUZZ_CHECK(fromText(toText(v)) == v);
        if (Upper(toText(v)) == Upper(text)) {
            FUZZ_CHECK(fromText(text) == v);
            listed = true;
        }
    }
    const E got = fromText(text);
    if (!listed) FUZZ_CHECK(got == fallback);
    FUZZ_CHECK(fromText(Upper(text)) == got && fromText(Lower(text)) == got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Table(text, 16, BaudRateToText, TextToBaudRate, br9600);
    Table(text, 3, StopBitsToText, TextToStopBits, sbOneStopBit);
    Table(text, 4, DataBitsToText, TextToDataBits, dbEight);
    Table(text, 5, ParityToText, TextToParity, prNone);
    Table(text, 4, FlowControlToText, TextToFlowControl, fcCustom);
    Table(text, 3, DTRControlToText, TextToDTRControl, dtrDisable);
    Table(text, 4, RTSControlToText, TextToRTSControl, rtsDisable);

    FUZZ_CHECK(TextToYesNo(text) == (Upper(text) == "YES"));
    FUZZ_CHECK(TextToYesNo(YesNoText(true)) && !TextToYesNo(YesNoText(false)));

    // A character's text is one printable character or "#" and its code.
    const char c = TextToChar(text);
    const std::string ct = CharToText(c);
    FUZZ_CHECK(TextToChar(ct) == c);
    FUZZ_CHECK(ct.size() == 1 || (ct[0] == '#' && ct.size() >= 2 && ct.size() <= 4));
    if (text.empty()) FUZZ_CHECK(c == 0);
    if (!text.empty() && text[0] != '#') FUZZ_CHECK(c == text[0]);
    return 0;
}
