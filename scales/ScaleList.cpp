#include "ScaleList.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <sys/stat.h>

#include "platform/AtomicFile.h"
#include "platform/Paths.h"

namespace scales {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool ValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = 0;
        unsigned cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (std::size_t k = 1; k <= n; ++k) {
            if (i + k >= s.size()) return false;
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += n + 1;
    }
    return true;
}

// A name goes into report lines, JSON and the log: control characters other
// than a tab would break them.
std::string CheckName(std::string_view name) {
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return "the name holds a control character";
    }
    if (!ValidUtf8(name)) return "the name is not valid UTF-8";
    return {};
}

std::string CheckTarget(const std::string& target, const TargetValidator& validate) {
    if (target.empty()) return "no target";
    for (char ch : target) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsBlank(ch)) return "a target holds no blank";
        if (c < 0x20 || c == 0x7F) return "the target holds a control character";
    }
    if (target[0] == '-' || target[0] == '#')
        return "a target cannot begin with \"" + target.substr(0, 1) + "\"";
    // Read back as the first line, the mark would be taken for the file's own.
    if (target.rfind("\xEF\xBB\xBF", 0) == 0) return "a target cannot begin with a byte-order mark";
    if (!validate) return {};
    // A parser that throws rather than answers still names what is wrong.
    try {
        return validate(target);
    } catch (const std::exception& e) {
        return e.what();
    }
}

enum class LineKind { Comment, Entry, Bad };

// Splits one line (line end removed) into an entry, or says why it is none.
LineKind ParseLine(std::string_view raw, ScaleEntry& entry, std::string& error) {
    std::string_view s = Trim(raw);
    if (s.empty() || s.front() == '#') return LineKind::Comment;
    entry = {};
    if (s.front() == '-') {
        entry.enabled = false;
        s = Trim(s.substr(1));
        if (s.empty()) {
            error = "\"-\" without a target";
            return LineKind::Bad;
        }
    }
    std::size_t end = 0;
    while (end < s.size() && !IsBlank(s[end]))
        ++end;
    entry.target.assign(s.substr(0, end));
    s = Trim(s.substr(end));
    // "pace=" and digits only: a name that merely begins with the word stays a name.
    constexpr std::string_view kPace = "pace=";
    std::size_t word = 0;
    while (word < s.size() && !IsBlank(s[word]))
        ++word;
    if (word > kPace.size() && s.substr(0, kPace.size()) == kPace &&
        s.substr(kPace.size(), word - kPace.size()).find_first_not_of("0123456789") ==
            std::string_view::npos) {
        const std::string_view digits = s.substr(kPace.size(), word - kPace.size());
        std::size_t first = digits.find_first_not_of('0');
        const std::string_view value = first == std::string_view::npos ? "0" : digits.substr(first);
        if (value.size() > 5 || std::stoi(std::string(value)) > kMaxPaceMs) {
            error = "pace=" + std::string(digits) + ": expected milliseconds from 0 to " +
                    std::to_string(kMaxPaceMs);
            return LineKind::Bad;
        }
        entry.pace = std::stoi(std::string(value));
        s = Trim(s.substr(word));
    }
    entry.name.assign(s);
    return LineKind::Entry;
}

std::string CheckPace(int pace) {
    if (pace < 0 || pace > kMaxPaceMs)
        return "the pace must be from 0 to " + std::to_string(kMaxPaceMs) + " ms";
    return {};
}

} // namespace

std::string FormatScaleEntry(const ScaleEntry& entry) {
    std::string line = entry.enabled ? std::string() : std::string("-");
    line += entry.target;
    // Only a pace of its own is written: the line of a scale at the default stays as older lists
    // have it, unless its name would be read back as a pace.
    ScaleEntry named;
    std::string ignored;
    const bool nameLooksLikePace =
        ParseLine("t " + entry.name, named, ignored) != LineKind::Entry || named.name != Trim(entry.name);
    if (entry.pace != kDefaultPaceMs || nameLooksLikePace) line += " pace=" + std::to_string(entry.pace);
    if (!entry.name.empty()) {
        line += "  ";
        line += entry.name;
    }
    return line;
}

ScaleList ScaleList::Parse(const std::string& text, TargetValidator validate, std::string label) {
    ScaleList list;
    list.FValidate = std::move(validate);
    list.FLabel = std::move(label);
    std::size_t pos = 0;
    int number = 0;
    bool firstEol = true;
    while (pos < text.size()) {
        // LF, CR LF and a lone CR each end a line, as the settings files read them.
        const std::size_t end = std::min(text.find_first_of("\r\n", pos), text.size());
        std::size_t next = end;
        if (next < text.size())
            next += text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n' ? 2 : 1;
        Line line{text.substr(pos, end - pos), text.substr(end, next - end), -1};
        if (!line.eol.empty() && firstEol) {
            list.FEol = line.eol;
            firstEol = false;
        }
        pos = next;
        ++number;

        ScaleEntry entry;
        std::string error;
        // Editors on other systems begin a UTF-8 file with a byte-order mark; it is
        // not part of the first target.
        const bool mark = number == 1 && line.raw.rfind("\xEF\xBB\xBF", 0) == 0;
        const LineKind kind = ParseLine(mark ? line.raw.substr(3) : line.raw, entry, error);
        if (kind == LineKind::Entry) {
            error = CheckTarget(entry.target, list.FValidate);
            if (error.empty()) error = CheckName(entry.name);
            if (error.empty()) {
                const int other = list.Find(entry.target);
                if (other >= 0)
                    error = entry.target + " is already on line " +
                            std::to_string(list.FEntries[static_cast<std::size_t>(other)].line);
            }
            if (error.empty()) {
                entry.line = number;
                line.entry = static_cast<int>(list.FEntries.size());
                list.FEntries.push_back(std::move(entry));
            }
        }
        if (!error.empty()) list.FProblems.push_back({number, error});
        list.FLines.push_back(std::move(line));
    }
    return list;
}

std::vector<ScaleEntry> ScaleList::Enabled() const {
    std::vector<ScaleEntry> on;
    for (const auto& e : FEntries)
        if (e.enabled) on.push_back(e);
    return on;
}

int ScaleList::Find(const std::string& target) const {
    for (std::size_t i = 0; i < FEntries.size(); ++i)
        if (FEntries[i].target == target) return static_cast<int>(i);
    return -1;
}

std::vector<std::string> ScaleList::Messages() const {
    std::vector<std::string> out;
    for (const auto& p : FProblems)
        out.push_back(p.line > 0 ? FLabel + ":" + std::to_string(p.line) + ": " + p.message
                                 : FLabel + ": " + p.message);
    return out;
}

std::string ScaleList::Check(const ScaleEntry& entry, int ignore) const {
    std::string error = CheckTarget(entry.target, FValidate);
    if (!error.empty()) return error;
    if (entry.name.find_first_of("\r\n") != std::string::npos) return "a name cannot hold a line end";
    error = CheckPace(entry.pace);
    if (!error.empty()) return error;
    error = CheckName(entry.name);
    if (!error.empty()) return error;
    const int other = Find(entry.target);
    if (other >= 0 && other != ignore) return entry.target + " is already in the list";
    return {};
}

std::string ScaleList::FormatLine(const ScaleEntry& entry) const {
    ScaleEntry e = entry;
    e.name.assign(Trim(e.name));
    return FormatScaleEntry(e);
}

void ScaleList::Renumber() {
    for (std::size_t i = 0; i < FLines.size(); ++i)
        if (FLines[i].entry >= 0)
            FEntries[static_cast<std::size_t>(FLines[i].entry)].line = static_cast<int>(i) + 1;
}

std::string ScaleList::Add(ScaleEntry entry) {
    entry.name.assign(Trim(entry.name));
    std::string error = Check(entry, -1);
    if (!error.empty()) return error;
    // A last line without its line end gets one before the new line.
    if (!FLines.empty() && FLines.back().eol.empty()) FLines.back().eol = FEol;
    FLines.push_back({FormatLine(entry), FEol, static_cast<int>(FEntries.size())});
    FEntries.push_back(std::move(entry));
    Renumber();
    return {};
}

std::string ScaleList::Replace(std::size_t index, ScaleEntry entry) {
    if (index >= FEntries.size()) return "no such scale";
    entry.name.assign(Trim(entry.name));
    std::string error = Check(entry, static_cast<int>(index));
    if (!error.empty()) return error;
    for (auto& line : FLines)
        if (line.entry == static_cast<int>(index)) line.raw = FormatLine(entry);
    FEntries[index] = std::move(entry);
    Renumber();
    return {};
}

bool ScaleList::Remove(std::size_t index) {
    if (index >= FEntries.size()) return false;
    const int gone = static_cast<int>(index);
    for (std::size_t i = 0; i < FLines.size(); ++i) {
        if (FLines[i].entry == gone) {
            FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    for (auto& line : FLines)
        if (line.entry > gone) --line.entry;
    FEntries.erase(FEntries.begin() + static_cast<std::ptrdiff_t>(index));
    Renumber();
    return true;
}

std::string ScaleList::Text() const {
    std::string out;
    for (const auto& line : FLines) {
        out += line.raw;
        out += line.eol;
    }
    return out;
}

std::string ScaleListPath() {
    return platform::SettingsDir() + "scales";
}

ScaleList ReadScaleList(const std::string& path, TargetValidator validate, std::string label) {
    if (label.empty()) label = path;
    struct stat st {};
    const bool found = ::stat(path.c_str(), &st) == 0;
    if (!found && errno == ENOENT) {
        ScaleList list = ScaleList::Parse({}, std::move(validate), std::move(label));
        list.FMissing = true;
        return list;
    }
    std::string text;
    if (!platform::ReadWholeFile(path, text)) {
        const int err = errno;
        ScaleList list = ScaleList::Parse({}, std::move(validate), label);
        std::string why = !found || S_ISREG(st.st_mode) ? std::strerror(err) : "not a regular file";
        list.FProblems.push_back({0, "cannot read the list: " + why});
        return list;
    }
    return ScaleList::Parse(text, std::move(validate), std::move(label));
}

void WriteScaleList(const std::string& path, const ScaleList& list) {
    platform::WriteFileAtomically(path, list.Text());
}

} // namespace scales
