#include "Global.h"

#include <cstdint>

std::uint8_t Kind = 0;
std::uint8_t Protocol = 0;
std::string Host;
std::int32_t Port = 0;
platform::HWND MainWindowHandle = 0;

std::string OrdersFileName;
bool WindRow = false;
std::uint8_t WindRowMode = 0;
std::string WindRowChar;
bool SaveASCII = false;
bool InsertTime = false;
bool ChangePointToColon = false;

std::int32_t TextToIntDef(const std::string& text, std::int32_t def) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < n && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    } else if (i < n && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    }
    if (i >= n) return def;
    std::int64_t value = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return def;
        value = value * base + digit;
        if (value > std::int64_t{1} << 32) return def;
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return def;
    return static_cast<std::int32_t>(value);
}
