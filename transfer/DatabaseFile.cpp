#include "DatabaseFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TableData TableData::Empty(int columns, int rows) {
    TableData t;
    t.FColumns = columns < 1 ? 1 : columns;
    t.FRowEnd.assign(static_cast<std::size_t>(rows < 1 ? 1 : rows), 0);
    return t;
}

std::string_view TableData::Row(int r) const {
    if (r < 0 || r >= RowCount()) return {};
    const std::uint64_t begin = r == 0 ? 0 : FRowEnd[static_cast<std::size_t>(r) - 1];
    const std::uint64_t end = FRowEnd[static_cast<std::size_t>(r)];
    return std::string_view(FBytes.data() + begin, end - begin);
}

std::string_view TableData::Cell(int c, int r) const {
    if (c < 0) return {};
    std::string_view row = Row(r);
    for (; c > 0; --c) {
        auto semi = row.find(';');
        if (semi == std::string_view::npos) return {};
        row.remove_prefix(semi + 1);
    }
    return row.substr(0, row.find(';'));
}

std::string TableData::RecordText(int r, int columns) const {
    std::string_view row = Row(r);
    std::string out;
    int fields = 1;
    std::size_t take = row.size();
    // A row wider than `columns` (cannot happen for a loaded table) is cut.
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (row[i] != ';') continue;
        if (fields == columns) {
            take = i;
            break;
        }
        ++fields;
    }
    out.reserve(take + static_cast<std::size_t>(columns));
    out.append(row.data(), take);
    if (columns > fields) out.append(static_cast<std::size_t>(columns - fields), ';');
    return out;
}

void TableData::EndRow(int fields) {
    FRowEnd.push_back(FBytes.size());
    if (fields > FColumns) FColumns = fields;
}

TableParser::TableParser(std::size_t sizeHint) {
    FTable = TableData();
    FTable.Reserve(sizeHint);
}

void TableParser::EndLine() {
    // An empty line takes no grid row; a line of blanks does.
    if (FTable.Bytes().size() != FLineStart) FTable.EndRow(FFields);
    FLineStart = FTable.Bytes().size();
    FFields = 1;
}

namespace {
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
}

bool TableParser::Feed(const char* data, std::size_t size) {
    if (FEnded) return false;
    std::string& out = FTable.Bytes();
    const char* p = data;
    const char* end = data + size;
    // The mark may arrive split over several pieces; its bytes are held back
    // until it is complete (dropped) or proves to be data.
    while (FMarkSeen >= 0 && p < end) {
        if (*p == kByteOrderMark[FMarkSeen]) {
            ++p;
            if (++FMarkSeen == 3) FMarkSeen = -1;
        } else {
            out.append(kByteOrderMark, static_cast<std::size_t>(FMarkSeen));
            FMarkSeen = -1;
        }
    }
    while (p < end) {
        // Copy the run of ordinary bytes in one go.
        const char* q = p;
        while (q < end && *q != '\n' && *q != '\r' && *q != 26 && *q != ';')
            ++q;
        out.append(p, static_cast<std::size_t>(q - p));
        if (q == end) break;
        switch (*q) {
        case '\n':
            EndLine();
            break;
        case '\r':
            break; // CR LF ends a line at the LF; a lone CR is dropped
        case ';':
            out.push_back(';');
            ++FFields;
            break;
        default: // 26: nothing after it is read
            FEnded = true;
            return false;
        }
        p = q + 1;
    }
    return true;
}

TableData TableParser::Finish() {
    if (FMarkSeen > 0) FTable.Bytes().append(kByteOrderMark, static_cast<std::size_t>(FMarkSeen));
    FMarkSeen = -1;
    EndLine();
    if (FTable.RowCount() == 0) FTable.EndRow(1);
    TableData out = std::move(FTable);
    FTable = TableData();
    return out;
}

namespace {
[[noreturn]] void ThrowIO(const std::string& what, const std::string& path, int err) {
    throw EInOutError(what + " \"" + path + "\": " + std::strerror(err), err);
}
} // namespace

TableData LoadDatabaseFile(const std::string& path) {
    int fd;
    do {
        // Non-blocking so that opening a named pipe cannot hang the window.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) ThrowIO("Cannot open file", path, errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        ThrowIO("Cannot read file", path, err);
    }
    // Only a plain file is a table: a device or a pipe might never end.
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        ThrowIO("Cannot read file", path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    }
    const std::size_t hint = static_cast<std::size_t>(st.st_size);
    TableParser parser(hint);
    std::vector<char> buf(1 << 20);
    for (;;) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            ThrowIO("Cannot read file", path, err);
        }
        if (n == 0 || !parser.Feed(buf.data(), static_cast<std::size_t>(n))) break;
    }
    ::close(fd);
    return parser.Finish();
}
