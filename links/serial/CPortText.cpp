// Text forms of the serial settings, as shown in lists and stored in the settings file.
#include "CPort.h"

#include <array>
#include <span>

namespace {

constexpr std::array<const char*, 16> kBaudRateText = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
constexpr std::array<const char*, 3> kStopBitsText = {"1", "1.5", "2"};
constexpr std::array<const char*, 4> kDataBitsText = {"5", "6", "7", "8"};
constexpr std::array<const char*, 5> kParityText = {"None", "Odd", "Even", "Mark", "Space"};
constexpr std::array<const char*, 4> kFlowControlText = {"Hardware", "Software", "None", "Custom"};
constexpr std::array<const char*, 3> kDTRText = {"Disable", "Enable", "Handshake"};
constexpr std::array<const char*, 4> kRTSText = {"Disable", "Enable", "Handshake", "Toggle"};

std::string UpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The ordinal of the first entry equal to `text` without regard to ASCII case, or `fallback`.
int FindText(std::span<const char* const> table, const std::string& text, int fallback) {
    const std::string key = UpperAscii(text);
    for (std::size_t i = 0; i < table.size(); ++i)
        if (UpperAscii(table[i]) == key) return static_cast<int>(i);
    return fallback;
}

template <std::size_t N> std::string Lookup(const std::array<const char*, N>& table, int ordinal) {
    if (ordinal < 0 || static_cast<std::size_t>(ordinal) >= N) return {};
    return table[static_cast<std::size_t>(ordinal)];
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
// Whole-text integer: blanks first, a sign, then decimal digits or hexadecimal
// after "$", "x" or "0x"; the 32-bit signed range.
bool ParseInteger(const std::string& text, std::int32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        int d = DigitValue(text[i]);
        if (d < 0 || d >= base) return false;
        v = v * base + d;
        if (v > (std::int64_t{1} << 32)) return false;
    }
    if (negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

} // namespace

std::string BaudRateToText(TBaudRate BaudRate) {
    return Lookup(kBaudRateText, BaudRate);
}
TBaudRate TextToBaudRate(const std::string& Str) {
    return static_cast<TBaudRate>(FindText(kBaudRateText, Str, br9600));
}

std::string StopBitsToText(TStopBits StopBits) {
    return Lookup(kStopBitsText, StopBits);
}
TStopBits TextToStopBits(const std::string& Str) {
    return static_cast<TStopBits>(FindText(kStopBitsText, Str, sbOneStopBit));
}

std::string DataBitsToText(TDataBits DataBits) {
    return Lookup(kDataBitsText, DataBits);
}
TDataBits TextToDataBits(const std::string& Str) {
    return static_cast<TDataBits>(FindText(kDataBitsText, Str, dbEight));
}

std::string ParityToText(TParityBits Parity) {
    return Lookup(kParityText, Parity);
}
TParityBits TextToParity(const std::string& Str) {
    return static_cast<TParityBits>(FindText(kParityText, Str, prNone));
}

std::string FlowControlToText(TFlowControl FlowControl) {
    return Lookup(kFlowControlText, FlowControl);
}
TFlowControl TextToFlowControl(const std::string& Str) {
    return static_cast<TFlowControl>(FindText(kFlowControlText, Str, fcCustom));
}

std::string DTRControlToText(TDTRFlowControl DTRControl) {
    return Lookup(kDTRText, DTRControl);
}
TDTRFlowControl TextToDTRControl(const std::string& Str) {
    return static_cast<TDTRFlowControl>(FindText(kDTRText, Str, dtrDisable));
}

std::string RTSControlToText(TRTSFlowControl RTSControl) {
    return Lookup(kRTSText, RTSControl);
}
TRTSFlowControl TextToRTSControl(const std::string& Str) {
    return static_cast<TRTSFlowControl>(FindText(kRTSText, Str, rtsDisable));
}

std::string YesNoText(bool B) {
    return B ? "Yes" : "No";
}
bool TextToYesNo(const std::string& Str) {
    return UpperAscii(Str) == "YES";
}

std::string CharToText(char Ch) {
    const int code = static_cast<unsigned char>(Ch);
    if (code >= 33 && code <= 127) return std::string(1, Ch);
    std::string text = "#";
    text += std::to_string(code);
    return text;
}

char TextToChar(const std::string& Str) {
    if (Str.empty()) return 0;
    if (Str[0] == '#' && Str.size() > 1) {
        std::int32_t code = 0;
        if (!ParseInteger(Str.substr(1), code)) return 0;
        return static_cast<char>(static_cast<unsigned char>(static_cast<std::uint32_t>(code) & 0xFF));
    }
    return Str[0];
}
