// The table loader: a file fed in one piece and in many pieces gives the same
// table, and that table is the one the loading rules describe.
#include "transfer/DatabaseFile.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// The rules read on their own: a UTF-8 byte-order mark at the very start is
// not data; text up to a Ctrl-Z; every CR dropped (a CR
// before an LF belongs to the line end, any other one is dropped); lines at
// LF; empty lines skipped; fields at every ";".
std::vector<std::vector<std::string>> Expected(std::string_view file) {
    if (file.substr(0, 3) == "\xEF\xBB\xBF") file.remove_prefix(3);
    file = file.substr(0, file.find('\x1a'));
    std::vector<std::vector<std::string>> rows;
    std::string line;
    auto endLine = [&] {
        if (line.empty()) return;
        std::vector<std::string> fields(1);
        for (char ch : line)
            if (ch == ';')
                fields.emplace_back();
            else
                fields.back() += ch;
        rows.push_back(std::move(fields));
        line.clear();
    };
    for (char ch : file) {
        if (ch == '\n')
            endLine();
        else if (ch != '\r')
            line += ch;
    }
    endLine();
    return rows;
}

void Same(const TableData& t, const std::vector<std::vector<std::string>>& rows) {
    std::size_t columns = 1;
    for (const auto& r : rows)
        columns = std::max(columns, r.size());
    FUZZ_CHECK(t.RowCount() == static_cast<int>(std::max<std::size_t>(rows.size(), 1)));
    FUZZ_CHECK(t.ColCount() == static_cast<int>(columns));
    for (std::size_t r = 0; r < rows.size(); ++r)
        for (std::size_t c = 0; c < columns; ++c)
            FUZZ_CHECK(t.Cell(static_cast<int>(c), static_cast<int>(r)) ==
                       (c < rows[r].size() ? rows[r][c] : std::string()));
    if (rows.empty()) FUZZ_CHECK(t.Cell(0, 0).empty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses where the pieces are cut; the rest is the file.
    std::uint32_t cut = data[0];
    const char* file = reinterpret_cast<const char*>(data) + 1;
    const std::size_t n = size - 1;

    TableParser whole(n);
    whole.Feed(file, n);
    TableData one = whole.Finish();

    TableParser parts;
    for (std::size_t pos = 0; pos < n;) {
        cut = cut * 1103515245u + 12345u;
        const std::size_t len = std::min<std::size_t>(n - pos, 1 + (cut >> 16) % 9);
        if (!parts.Feed(file + pos, len)) break;
        pos += len;
    }
    TableData many = parts.Finish();

    const auto rows = Expected(std::string_view(file, n));
    Same(one, rows);
    Same(many, rows);
    return 0;
}
