#include "Records.h"

#include "Bytes.h"
#include "Targets.h"
#include "transfer/DatabaseFile.h"

#include <algorithm>

namespace sendcmd {

std::vector<std::string> BuildRecords(const TableData& table, Recoder* recoder,
                                      const std::string& tableName) {
    std::vector<std::string> records;
    records.reserve(static_cast<std::size_t>(table.RowCount()));
    std::string converted;
    for (int r = 0; r < table.RowCount(); ++r) {
        std::string record = table.RecordText(r, table.ColCount());
        std::size_t bad = 0;
        if (recoder && !recoder->Convert(record, converted, bad)) {
            const auto column = 1 + std::count(record.begin(), record.begin() + static_cast<long>(bad), ';');
            // The character's bytes: a UTF-8 sequence by its lead byte, else one byte.
            const auto lead = bad < record.size() ? static_cast<unsigned char>(record[bad]) : 0;
            const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            const auto end = std::min(bad + length, record.size());
            throw UsageError(
                tableName + ": row " + std::to_string(r + 1) + ", column " + std::to_string(column) + ": \"" +
                Escape(std::string_view(record).substr(bad, end - bad)) + "\" cannot be converted from " +
                recoder->From() + " to " + recoder->To() + "; nothing was sent");
        }
        if (recoder) record.swap(converted);
        records.push_back(std::move(record));
    }
    return records;
}

} // namespace sendcmd
