#include "Bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iconv.h>
#include <stdexcept>

namespace fleet {

std::string Escape(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\0':
            out += "\\0";
            break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            }
        }
    }
    return out;
}

std::string Quoted(std::string_view text) {
    // Appending to a named string, rather than "\"" + text, also keeps GCC 12's -Wrestrict
    // false alarm away at -O3.
    std::string quoted(1, '"');
    quoted.append(text).push_back('"');
    return quoted;
}

std::string MoreBytes(std::size_t more) {
    return more == 0 ? std::string() : "… " + std::to_string(more) + " bytes more";
}

std::string QuotedReply(std::string_view reply) {
    const std::size_t shown = std::min(reply.size(), kReplyShown);
    return Quoted(Escape(reply.substr(0, shown))) + MoreBytes(reply.size() - shown);
}

std::string Abbreviate(std::string_view command) {
    const auto semicolon = command.find(';');
    if (semicolon == std::string_view::npos) return Escape(command);
    return Escape(command.substr(0, semicolon + 1)) + "...";
}

Recoder::Recoder(const std::string& from, const std::string& to)
    : cd_(::iconv_open(to.c_str(), from.c_str())), from_(from), to_(to) {
    if (cd_ == reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)))
        throw std::invalid_argument("the C library's iconv cannot convert from " + from + " to " + to +
                                    " (iconv --list shows the names it knows)");
}

Recoder::~Recoder() {
    ::iconv_close(static_cast<iconv_t>(cd_));
}

bool Recoder::Convert(std::string_view in, std::string& out, std::size_t& badOffset) {
    auto cd = static_cast<iconv_t>(cd_);
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr); // every record starts in the initial state
    out.clear();
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char buffer[1024];
    bool flushed = false;
    while (!flushed) {
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        // Once the input is used up, one more call writes what a stateful code page still owes.
        const bool flushing = srcLeft == 0;
        const std::size_t r = flushing ? ::iconv(cd, nullptr, nullptr, &dst, &dstLeft)
                                       : ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (r != static_cast<std::size_t>(-1)) {
            flushed = flushing;
            continue;
        }
        if (errno == E2BIG) continue;
        badOffset = static_cast<std::size_t>(src - in.data()); // EILSEQ or an incomplete character
        return false;
    }
    return true;
}

} // namespace fleet
