#include "IniFile.h"

#include "AtomicFile.h"

#include <cerrno>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

namespace platform {

namespace {

struct Line {
    std::string Text; // without its line end
    std::string Eol;  // "\n", "\r\n", or "" for a last line without one
};

enum class LineKind { Other, Section, Key };

struct Parsed {
    LineKind Kind = LineKind::Other;
    std::string Name; // section name or key, blanks removed
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& s, std::size_t from = 0, std::size_t to = std::string::npos) {
    if (to > s.size()) to = s.size();
    while (from < to && IsBlank(s[from]))
        ++from;
    while (to > from && IsBlank(s[to - 1]))
        --to;
    return s.substr(from, to - from);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

std::vector<Line> SplitLines(const std::string& contents) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < contents.size()) {
        std::size_t nl = contents.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back({contents.substr(pos), ""});
            break;
        }
        if (nl > pos && contents[nl - 1] == '\r')
            lines.push_back({contents.substr(pos, nl - 1 - pos), "\r\n"});
        else
            lines.push_back({contents.substr(pos, nl - pos), "\n"});
        pos = nl + 1;
    }
    return lines;
}

Parsed Classify(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    if (i == text.size() || text[i] == ';') return {};
    if (text[i] == '[') {
        std::size_t close = text.find(']', i + 1);
        return {LineKind::Section, Trim(text, i + 1, close)};
    }
    std::size_t eq = text.find('=', i);
    if (eq == std::string::npos) return {};
    return {LineKind::Key, Trim(text, i, eq)};
}

// Index of the first header line of `section`, or -1.
long FindSection(const std::vector<Line>& lines, const std::string& section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Parsed p = Classify(lines[i].Text);
        if (p.Kind == LineKind::Section && SameName(p.Name, section)) return static_cast<long>(i);
    }
    return -1;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

void CheckWritable(const std::string& section, const std::string& key, const std::string& value) {
    auto hasBreak = [](const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; };
    if (hasBreak(section) || hasBreak(key) || hasBreak(value))
        throw std::invalid_argument("Profile entries cannot hold line breaks");
    if (section.find(']') != std::string::npos)
        throw std::invalid_argument("Section name cannot hold \"]\": " + section);
    if (key.find('=') != std::string::npos || Trim(key).empty() || Trim(key) != key || key[0] == '[' ||
        key[0] == ';')
        throw std::invalid_argument("Key would not read back: " + key);
}

} // namespace

TIniFile::TIniFile(std::string path) : FFileName(std::move(path)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) {
    std::string contents;
    if (!ReadWholeFile(FFileName, contents)) return def;
    std::vector<Line> lines = SplitLines(contents);
    long s = FindSection(lines, section);
    if (s < 0) return def;
    for (std::size_t i = static_cast<std::size_t>(s) + 1; i < lines.size(); ++i) {
        Parsed p = Classify(lines[i].Text);
        if (p.Kind == LineKind::Section) break;
        if (p.Kind == LineKind::Key && SameName(p.Name, key)) {
            const std::string& t = lines[i].Text;
            std::string value = Trim(t, t.find('=') + 1);
            if (value.size() > MaxValueLength) value.resize(MaxValueLength);
            return value;
        }
    }
    return def;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    CheckWritable(section, key, value);
    std::string contents;
    // A file that exists but cannot be read must not be replaced by one that
    // holds only this key.
    if (!ReadWholeFile(FFileName, contents) && FileExists(FFileName))
        throw std::runtime_error("Unable to write to " + FFileName);
    std::vector<Line> lines = SplitLines(contents);

    // New lines follow the line ends the file already uses.
    std::string eol = "\n";
    for (const Line& l : lines)
        if (!l.Eol.empty()) {
            eol = l.Eol;
            break;
        }
    const std::string entry = key + "=" + value;

    long s = FindSection(lines, section);
    if (s < 0) {
        if (!lines.empty() && lines.back().Eol.empty()) lines.back().Eol = eol;
        lines.push_back({"[" + section + "]", eol});
        lines.push_back({entry, eol});
    } else {
        // A new key goes after the section's last key, so that blank lines and
        // comments closing the section (often about the next one) stay below.
        std::size_t after = static_cast<std::size_t>(s);
        bool replaced = false;
        for (std::size_t i = after + 1; i < lines.size(); ++i) {
            Parsed p = Classify(lines[i].Text);
            if (p.Kind == LineKind::Section) break;
            if (p.Kind != LineKind::Key) continue;
            if (SameName(p.Name, key)) {
                lines[i].Text = entry;
                replaced = true;
                break;
            }
            after = i;
        }
        if (!replaced) {
            if (lines[after].Eol.empty()) lines[after].Eol = eol;
            lines.insert(lines.begin() + static_cast<long>(after) + 1, Line{entry, eol});
        }
    }

    std::string out;
    out.reserve(contents.size() + entry.size() + section.size() + 8);
    for (const Line& l : lines) {
        out += l.Text;
        out += l.Eol;
    }
    try {
        WriteFileAtomically(FFileName, out);
    } catch (const std::exception&) {
        throw std::runtime_error("Unable to write to " + FFileName);
    }
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, std::int32_t def) {
    const std::string text = ReadString(section, key, "");
    std::size_t i = 0;
    int base = 10;
    bool negative = false;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    } else if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i >= text.size()) return def;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return def;
        value = value * base + digit;
        if (value > 0xFFFFFFFFll) return def;
    }
    if (base == 16)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); // hex names all 32 bits
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return def;
    return static_cast<std::int32_t>(value);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

} // namespace platform
