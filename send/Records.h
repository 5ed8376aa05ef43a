#pragma once
// The records of a table as they go to the scale, converted before anything is sent.
#include <string>
#include <vector>

class TableData;

namespace sendcmd {

class Recoder;

// Row r's record text, as the window builds it (cells joined by ";" across the
// table's columns), converted by `recoder` when there is one. Throws UsageError
// naming the row and column of a character the target code page cannot hold.
std::vector<std::string> BuildRecords(const TableData& table, Recoder* recoder, const std::string& tableName);

} // namespace sendcmd
