// The list of scales on any text: what is read is written back byte for byte;
// every entry, formatted and read again, is the same entry; rewriting every
// entry's line, removing one and adding one change only those lines: every
// comment, blank and bad line stays as it was, line end included (a last line
// without one gets one before an added line). LF, CR LF and a lone CR end lines.
#include "scales/ScaleList.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string Check(const std::string& t) {
    return t.find(':') == std::string::npos ? "not a target" : "";
}

bool Same(const scales::ScaleEntry& a, const scales::ScaleEntry& b) {
    return a.target == b.target && a.name == b.name && a.enabled == b.enabled && a.pace == b.pace;
}

// A line of the text and its line end as read: LF, CR LF and a lone CR each end a
// line, as in the settings files; a last line may have none.
struct Piece {
    std::string raw, eol;
    const scales::ScaleEntry* entry = nullptr; // when the line is this entry's
};

std::vector<Piece> Split(const std::string& t) {
    std::vector<Piece> out;
    std::size_t pos = 0;
    while (pos < t.size()) {
        std::size_t end = pos;
        while (end < t.size() && t[end] != '\n' && t[end] != '\r')
            ++end;
        std::size_t next = end;
        if (next < t.size()) next += t.compare(next, 2, "\r\n") == 0 ? 2 : 1;
        out.push_back({t.substr(pos, end - pos), t.substr(end, next - end)});
        pos = next;
    }
    return out;
}

std::string Join(const std::vector<Piece>& lines) {
    std::string out;
    for (const auto& l : lines)
        out += (l.entry ? scales::FormatScaleEntry(*l.entry) : l.raw) + l.eol;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    scales::ScaleList list = scales::ScaleList::Parse(text, Check);
    FUZZ_CHECK(list.Text() == text);
    int previous = 0;
    for (const auto& p : list.Problems()) {
        FUZZ_CHECK(p.line > previous);
        previous = p.line;
    }
    const auto entries = list.Entries();
    std::vector<Piece> lines = Split(text);
    for (const auto& e : entries) {
        FUZZ_CHECK(e.line >= 1 && static_cast<std::size_t>(e.line) <= lines.size());
        lines[static_cast<std::size_t>(e.line) - 1].entry = &e;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto one = scales::ScaleList::Parse(scales::FormatScaleEntry(entries[i]), Check);
        FUZZ_CHECK(one.Ok() && one.Entries().size() == 1 && Same(one.Entries()[0], entries[i]));
        FUZZ_CHECK(list.Replace(i, entries[i]).empty());
    }
    // Only the entries' lines are rewritten.
    FUZZ_CHECK(list.Text() == Join(lines));

    if (!entries.empty()) {
        scales::ScaleList less = list;
        const std::size_t gone = size % entries.size();
        FUZZ_CHECK(less.Remove(gone));
        std::vector<Piece> rest;
        for (const auto& l : lines)
            if (l.entry != &entries[gone]) rest.push_back(l);
        FUZZ_CHECK(less.Text() == Join(rest));
        FUZZ_CHECK(less.Entries().size() == entries.size() - 1);
    }

    const scales::ScaleEntry added{"tcp:fuzz-new:1", "New scale", false, 0};
    const bool fresh = list.Find(added.target) < 0;
    FUZZ_CHECK(list.Add(added).empty() == fresh);
    if (fresh) {
        // New lines end as the first line of the text did.
        std::string eol = "\n";
        for (const auto& l : lines)
            if (!l.eol.empty()) {
                eol = l.eol;
                break;
            }
        if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
        lines.push_back({{}, eol, &added});
    }
    FUZZ_CHECK(list.Text() == Join(lines));

    const auto again = scales::ScaleList::Parse(list.Text(), Check);
    FUZZ_CHECK(again.Problems().size() == list.Problems().size());
    FUZZ_CHECK(again.Entries().size() == list.Entries().size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        FUZZ_CHECK(Same(again.Entries()[i], entries[i]));
    if (fresh) FUZZ_CHECK(Same(again.Entries().back(), added));
    return 0;
}
