#pragma once
// The semicolon-separated database file and the table it becomes.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The run-time's input/output error: the file could not be opened or read.
class EInOutError : public std::runtime_error {
public:
    EInOutError(const std::string& message, int errorCode)
        : std::runtime_error(message), FErrorCode(errorCode) {}
    int ErrorCode() const { return FErrorCode; }

private:
    int FErrorCode;
};

// A table held as the bytes of its rows. Each row keeps its own bytes with
// the ";" separators, so a cell is found by splitting its row on demand; this
// keeps a million-row table close to the size of its file.
class TableData {
public:
    // The table of a fresh window: `rows` empty rows of `columns` empty cells.
    static TableData Empty(int columns, int rows);

    int RowCount() const { return static_cast<int>(FRowEnd.size()); }
    int ColCount() const { return FColumns; }

    // Bytes of row r as read from the file (fields joined by ";").
    std::string_view Row(int r) const;
    // Cell (c, r); empty past the row's last field.
    std::string_view Cell(int c, int r) const;
    // The row's cells joined by ";" across `columns` cells: short rows are
    // padded with empty cells, so the text always has columns - 1 separators.
    std::string RecordText(int r, int columns) const;

    // Builders used by the parser.
    void Reserve(std::size_t bytes) { FBytes.reserve(bytes); }
    std::string& Bytes() { return FBytes; }
    void EndRow(int fields);
    std::size_t MemoryUsed() const { return FBytes.capacity() + FRowEnd.capacity() * sizeof(std::uint64_t); }

private:
    std::string FBytes;
    std::vector<std::uint64_t> FRowEnd; // end offset of each row in FBytes
    int FColumns = 1;
};

// Parses file contents: lines end at LF or CR LF, a lone CR is dropped, byte
// 26 ends the file, empty lines are skipped, fields split at every ";". A
// UTF-8 byte-order mark at the very start (spreadsheets write one) is not
// part of the table; anywhere else it is data.
class TableParser {
public:
    explicit TableParser(std::size_t sizeHint = 0);
    // Feeds the next piece of the file; false once byte 26 was seen.
    bool Feed(const char* data, std::size_t size);
    // Ends the last line and hands over the table (at least 1 x 1).
    TableData Finish();

private:
    void EndLine();
    TableData FTable;
    std::size_t FLineStart = 0;
    int FFields = 1;
    bool FEnded = false;
    int FMarkSeen = 0; // bytes of a leading byte-order mark matched so far; -1 once past it
};

// Reads the whole file into a table. Throws EInOutError when the file
// cannot be opened or read; nothing is returned half-read.
TableData LoadDatabaseFile(const std::string& path);
