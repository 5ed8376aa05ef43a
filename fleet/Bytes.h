#pragma once
// Bytes as logs, reports and messages show them, and the conversion between code pages.
#include <cstddef>
#include <string>
#include <string_view>

namespace fleet {

// Printable ASCII as it is; backslash, CR, LF, TAB and NUL as \\ \r \n \t \0;
// every other byte as \xHH. The result is plain ASCII and can be read back unambiguously.
std::string Escape(std::string_view bytes);

// What a log or a report shows of a reply: the first kReplyShown bytes, then
// "… N bytes more" (MoreBytes), so a peer that floods cannot flood them too.
constexpr std::size_t kReplyShown = 200;
std::string MoreBytes(std::size_t more); // "" for 0
// A reply escaped and quoted, cut to kReplyShown bytes.
std::string QuotedReply(std::string_view reply);

// Text in double quotes.
std::string Quoted(std::string_view text);

// A command shortened for a message: the first field and ";..." when there are more,
// escaped ("Sr1037;...").
std::string Abbreviate(std::string_view command);

// Converts text between two code pages with iconv; a character the target cannot
// hold is an error, never dropped or replaced.
class Recoder {
public:
    // Throws std::invalid_argument when iconv knows one of the names not.
    Recoder(const std::string& from, const std::string& to);
    ~Recoder();
    Recoder(const Recoder&) = delete;
    Recoder& operator=(const Recoder&) = delete;

    // False when the text cannot be converted; `badOffset` is then the offset of the
    // first byte of the offending character in `in`.
    bool Convert(std::string_view in, std::string& out, std::size_t& badOffset);

    const std::string& From() const { return from_; }
    const std::string& To() const { return to_; }

private:
    void* cd_;
    std::string from_, to_;
};

} // namespace fleet
