#include "Records.h"

#include "Bytes.h"
#include "Result.h"
#include "transfer/DatabaseFile.h"

#include <algorithm>

namespace fleet {

namespace {

// Column (1-based) of the byte at `offset` of a record.
long ColumnAt(std::string_view record, std::size_t offset) {
    return 1 + std::count(record.begin(), record.begin() + static_cast<long>(offset), ';');
}

std::string Place(const std::string& tableName, int r, long column) {
    return tableName + ": row " + std::to_string(r + 1) + ", column " + std::to_string(column) + ": ";
}

struct Forbidden {
    std::string bytes;     // the bytes that break the framing of one of the links
    std::string nul, line; // "over UDP", "over serial and TCP", as the targets have them
};

Forbidden ForbiddenFor(const std::vector<Target>& targets) {
    Forbidden f;
    bool serial = false, tcp = false, udp = false;
    for (const Target& t : targets)
        (t.kind == Target::Kind::Serial ? serial : t.kind == Target::Kind::Tcp ? tcp : udp) = true;
    // UDP ends a command at its zero byte; serial and TCP end it at the line end.
    if (udp) {
        f.bytes.push_back('\0');
        f.nul = "ends the command over UDP";
    }
    if (serial || tcp) {
        f.bytes += "\r\n";
        f.line = std::string("ends the command's line over ") + (serial && tcp ? "serial and TCP"
                                                                 : serial      ? "serial"
                                                                               : "TCP");
    }
    return f;
}

std::string Why(const Forbidden& f, char byte) {
    return byte == '\0' ? f.nul : f.line;
}

const char* ByteName(char byte) {
    return byte == '\0' ? "a NUL" : byte == '\n' ? "an LF" : "a CR";
}

} // namespace

Records::Records(std::shared_ptr<const TableData> table, std::unique_ptr<Recoder> recoder)
    : table_(std::move(table)), recoder_(std::move(recoder)) {}

Records::~Records() = default;

int Records::Count() const {
    return table_->RowCount();
}

std::string Records::Text(int r) const {
    std::string record = table_->RecordText(r, table_->ColCount());
    if (!recoder_) return record;
    std::string converted;
    std::size_t bad = 0;
    // Check has converted every row; an empty record would be reported, never sent as a row.
    if (!recoder_->Convert(record, converted, bad)) return {};
    return converted;
}

void Records::Check(const std::string& tableName, const std::vector<Target>& targets) const {
    const Forbidden forbidden = ForbiddenFor(targets);
    const bool udp = std::any_of(targets.begin(), targets.end(),
                                 [](const Target& t) { return t.kind == Target::Kind::Udp; });
    const int columns = table_->ColCount();
    std::string sample, converted;
    for (int r = 0; r < table_->RowCount(); ++r) {
        const std::string_view row = table_->Row(r);
        if (udp) {
            // One command is one datagram: "Sr", the record padded to the widest row, a zero byte.
            const long fields = 1 + std::count(row.begin(), row.end(), ';');
            const std::size_t plain = row.size() + static_cast<std::size_t>(std::max(0L, columns - fields));
            const std::size_t bytes = 2 + (recoder_ ? Text(r).size() : plain) + 1;
            if (bytes > kMaxDatagram)
                throw Refused(tableName + ": row " + std::to_string(r + 1) + ": its command is " +
                              std::to_string(bytes) + " bytes, more than one UDP datagram holds (" +
                              std::to_string(kMaxDatagram) + "); nothing was sent");
        }
        if (!recoder_) {
            // The padding is ";" alone, so the row's own bytes say it all.
            if (const auto at = row.find_first_of(forbidden.bytes); at != std::string_view::npos)
                throw Refused(Place(tableName, r, ColumnAt(row, at)) + Quoted(Escape(row.substr(at, 1))) +
                              " cannot be sent: " + ByteName(row[at]) + " byte " + Why(forbidden, row[at]) +
                              "; nothing was sent");
            continue;
        }
        // The row and a few of its padding separators: further ones convert as these did, and
        // a whole padded record may be far larger than the table.
        const long fields = 1 + std::count(row.begin(), row.end(), ';');
        sample.assign(row);
        sample.append(static_cast<std::size_t>(std::clamp(columns - fields, 0L, 4L)), ';');
        std::size_t bad = 0;
        if (!recoder_->Convert(sample, converted, bad)) {
            // The character's bytes: a UTF-8 sequence by its lead byte, else one byte.
            const auto lead = bad < sample.size() ? static_cast<unsigned char>(sample[bad]) : 0;
            const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            const auto end = std::min(bad + length, sample.size());
            throw Refused(Place(tableName, r, ColumnAt(sample, bad)) +
                          Quoted(Escape(std::string_view(sample).substr(bad, end - bad))) +
                          " cannot be converted from " + recoder_->From() + " to " + recoder_->To() +
                          "; nothing was sent");
        }
        const auto at = converted.find_first_of(forbidden.bytes);
        if (at == std::string::npos) continue;
        const char byte = converted[at];
        // Its column: the fewest cells whose conversion already holds the byte.
        std::vector<std::size_t> cellEnds;
        for (std::size_t i = 0; i < sample.size(); ++i)
            if (sample[i] == ';') cellEnds.push_back(i);
        cellEnds.push_back(sample.size());
        std::size_t low = 0, high = cellEnds.size() - 1;
        while (low < high) {
            const std::size_t mid = (low + high) / 2;
            std::string part;
            const bool holds =
                recoder_->Convert(std::string_view(sample).substr(0, cellEnds[mid]), part, bad) &&
                part.find(byte) != std::string::npos;
            if (holds)
                high = mid;
            else
                low = mid + 1;
        }
        throw Refused(Place(tableName, r, static_cast<long>(low) + 1) + "converted from " + recoder_->From() +
                      " to " + recoder_->To() + " it holds " + ByteName(byte) + " byte, which " +
                      Why(forbidden, byte) + "; nothing was sent");
    }
}

} // namespace fleet
