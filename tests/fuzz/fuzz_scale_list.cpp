// The list of scales on any text: what is read is written back byte for byte;
// every entry, formatted and read again, is the same entry; rewriting every
// entry's line and adding one keeps every other entry and problem.
#include "scales/ScaleList.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <string>

namespace {

std::string Check(const std::string& t) {
    return t.find(':') == std::string::npos ? "not a target" : "";
}

bool Same(const scales::ScaleEntry& a, const scales::ScaleEntry& b) {
    return a.target == b.target && a.name == b.name && a.enabled == b.enabled;
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
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto one = scales::ScaleList::Parse(scales::FormatScaleEntry(entries[i]), Check);
        FUZZ_CHECK(one.Ok() && one.Entries().size() == 1 && Same(one.Entries()[0], entries[i]));
        FUZZ_CHECK(list.Replace(i, entries[i]).empty());
    }
    const bool fresh = list.Find("tcp:fuzz-new:1") < 0;
    FUZZ_CHECK(list.Add({"tcp:fuzz-new:1", "New scale", false, 0}).empty() == fresh);

    const auto again = scales::ScaleList::Parse(list.Text(), Check);
    FUZZ_CHECK(again.Problems().size() == list.Problems().size());
    FUZZ_CHECK(again.Entries().size() == list.Entries().size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        FUZZ_CHECK(Same(again.Entries()[i], entries[i]));
    if (fresh) FUZZ_CHECK(Same(again.Entries().back(), {"tcp:fuzz-new:1", "New scale", false, 0}));
    return 0;
}
