#include "IniFile.h"

#include "AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <stdexcept>
#include <sys/stat.h>

namespace platform {

namespace {

// One line of the file: its text is [Start, TextEnd), its line end (if any)
// runs up to Next.
struct LineRef {
    std::size_t Start, TextEnd, Next;
};

enum class LineKind { Other, Section, Key };

struct Parsed {
    LineKind Kind = LineKind::Other;
    std::string_view Name; // section name or key, blanks removed
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    std::size_t from = 0, to = s.size();
    while (from < to && IsBlank(s[from]))
        ++from;
    while (to > from && IsBlank(s[to - 1]))
        --to;
    return s.substr(from, to - from);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

std::uint64_t NameHash(std::string_view name) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : name) {
        h ^= static_cast<unsigned char>(LowerAscii(c));
        h *= 1099511628211ull;
    }
    return h;
}

// The line that begins at `pos`. LF, CR LF and a lone CR all end a line.
LineRef LineAt(std::string_view c, std::size_t pos) {
    std::size_t i = pos;
    const std::size_t n = c.size();
    while (i < n && c[i] != '\n' && c[i] != '\r')
        ++i;
    if (i == n) return {pos, n, n};
    if (c[i] == '\r' && i + 1 < n && c[i + 1] == '\n') return {pos, i, i + 2};
    return {pos, i, i + 1};
}

Parsed Classify(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    if (i == text.size() || text[i] == ';') return {};
    if (text[i] == '[') {
        std::size_t close = text.find(']', i + 1);
        if (close == std::string_view::npos) close = text.size();
        return {LineKind::Section, Trim(text.substr(i + 1, close - i - 1))};
    }
    std::size_t eq = text.find('=', i);
    if (eq == std::string_view::npos) return {};
    return {LineKind::Key, Trim(text.substr(i, eq - i))};
}

std::string_view ValueOf(std::string_view line) {
    std::string_view v = Trim(line.substr(line.find('=') + 1));
    return v.substr(0, TIniFile::MaxValueLength);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 || errno != ENOENT;
}

void CheckWritable(std::string_view section, std::string_view key, std::string_view value) {
    auto hasBreak = [](std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; };
    if (hasBreak(section) || hasBreak(key) || hasBreak(value))
        throw std::invalid_argument("Profile entries cannot hold line breaks");
    if (section.find(']') != std::string_view::npos)
        throw std::invalid_argument("Section name cannot hold \"]\": " + std::string(section));
    if (key.find('=') != std::string_view::npos || key.empty() || key[0] == '[' || key[0] == ';')
        throw std::invalid_argument("Key would not read back: " + std::string(key));
}

[[noreturn]] void Unwritable(const std::string& path) {
    throw std::runtime_error("Unable to write to " + path);
}

} // namespace

namespace {
// Stable sort on the upper 32 bits (the hash), so that of several lines of
// one key the first stays first. Three passes of 11 bits.
void SortByHash(std::vector<std::uint64_t>& v) {
    if (v.size() < 2) return;
    std::vector<std::uint64_t> tmp(v.size());
    for (int shift = 32; shift < 64; shift += 11) {
        std::vector<std::size_t> count(2049, 0);
        for (std::uint64_t x : v)
            ++count[((x >> shift) & 2047) + 1];
        for (std::size_t i = 1; i < count.size(); ++i)
            count[i] += count[i - 1];
        for (std::uint64_t x : v)
            tmp[count[(x >> shift) & 2047]++] = x;
        v.swap(tmp);
    }
}
} // namespace

struct TIniFile::Section {
    std::string Name;
    bool Found = false;
    std::size_t InsertAt = 0; // new keys go here: after the section's last key
    // The section's key lines, each as the name's hash (upper 32 bits) and
    // the line's start (lower 32), sorted by hash. Offsets are 32-bit to keep
    // the index small; larger files are refused.
    std::vector<std::uint64_t> Index;
    // Keys that are not in the file yet: (key, "key=value").
    std::vector<std::pair<std::string, std::string>> Added;
};

TIniFile::TIniFile(std::string path, Mode mode) : FFileName(std::move(path)), FMode(mode) {}
TIniFile::~TIniFile() = default;

void TIniFile::Load() {
    if (FLoaded && FMode == Mode::Batched) return;
    FSections.clear();
    FReplaced.clear();
    FDirty = false;
    FUnreadable = false;
    FContents.clear();
    if (!ReadWholeFile(FFileName, FContents)) {
        FContents.clear();
        FUnreadable = FileExists(FFileName);
    } else if (FContents.size() >= UINT32_MAX) {
        std::string().swap(FContents);
        FUnreadable = true;
    }
    FBodyStart = FContents.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    FEol = "\n";
    std::size_t e = FContents.find_first_of("\r\n");
    if (e != std::string::npos) {
        if (FContents[e] == '\n')
            FEol = "\n";
        else
            FEol = (e + 1 < FContents.size() && FContents[e + 1] == '\n') ? "\r\n" : "\r";
    }
    FLoaded = true;
}

TIniFile::Section& TIniFile::FindSection(const std::string& name) {
    for (auto& s : FSections)
        if (SameName(s->Name, name)) return *s;
    auto s = std::make_unique<Section>();
    s->Name = name;
    const std::string_view c = FContents;
    // The first header of that name; its keys run up to the next header.
    std::size_t pos = FBodyStart;
    while (pos < c.size() && !s->Found) {
        LineRef l = LineAt(c, pos);
        pos = l.Next;
        Parsed p = Classify(c.substr(l.Start, l.TextEnd - l.Start));
        if (p.Kind == LineKind::Section && SameName(p.Name, name)) {
            s->Found = true;
            s->InsertAt = l.Next;
        }
    }
    if (s->Found) {
        // Room for one entry a line. Capacity that is not used is never
        // touched, so it costs no memory.
        std::size_t lines = 1;
        for (char ch : c.substr(pos))
            lines += (ch == '\n') + (ch == '\r');
        s->Index.reserve(lines);
    }
    while (s->Found && pos < c.size()) {
        LineRef l = LineAt(c, pos);
        pos = l.Next;
        Parsed p = Classify(c.substr(l.Start, l.TextEnd - l.Start));
        if (p.Kind == LineKind::Section) break;
        if (p.Kind == LineKind::Key) {
            s->Index.push_back((NameHash(p.Name) << 32) | l.Start);
            s->InsertAt = l.Next;
        }
    }
    // The index is built by sorting rather than hashing into a table: the
    // writes stay sequential, which matters for millions of keys.
    SortByHash(s->Index);
    FSections.push_back(std::move(s));
    return *FSections.back();
}

namespace {
// The key's line in the section's index, if the file has one.
std::optional<LineRef> Lookup(const std::vector<std::uint64_t>& index, std::string_view c,
                              std::string_view key) {
    const std::uint64_t h = NameHash(key) & 0xFFFFFFFF;
    auto it = std::lower_bound(index.begin(), index.end(), h << 32);
    for (; it != index.end() && (*it >> 32) == h; ++it) {
        LineRef l = LineAt(c, *it & 0xFFFFFFFF);
        if (SameName(Classify(c.substr(l.Start, l.TextEnd - l.Start)).Name, key)) return l;
    }
    return std::nullopt;
}
} // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) {
    Load();
    Section& s = FindSection(std::string(Trim(section)));
    const std::string_view k = Trim(key);
    if (std::optional<LineRef> l = Lookup(s.Index, FContents, k)) {
        auto r = FReplaced.find(l->Start);
        if (r != FReplaced.end()) return std::string(ValueOf(r->second.second));
        return std::string(ValueOf(std::string_view(FContents).substr(l->Start, l->TextEnd - l->Start)));
    }
    for (const auto& a : s.Added)
        if (SameName(a.first, k)) return std::string(ValueOf(a.second));
    return def;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
    // Names are taken as reading finds them, blanks around them removed.
    const std::string sec(Trim(section)), k(Trim(key));
    CheckWritable(sec, k, value);
    Load();
    // A file that exists but cannot be read must not be replaced by one that
    // holds only these keys.
    if (FUnreadable) Unwritable(FFileName);
    Section& s = FindSection(sec);
    std::string entry = k + "=" + value;
    if (std::optional<LineRef> l = Lookup(s.Index, FContents, k)) {
        auto r = FReplaced.find(l->Start);
        const std::string_view now =
            r != FReplaced.end() ? std::string_view(r->second.second)
                                 : std::string_view(FContents).substr(l->Start, l->TextEnd - l->Start);
        if (now != entry) {
            FReplaced[l->Start] = {l->TextEnd, std::move(entry)};
            FDirty = true;
        }
    } else {
        bool had = false;
        for (auto& a : s.Added)
            if (SameName(a.first, k)) {
                a.second = entry;
                had = true;
            }
        if (!had) s.Added.emplace_back(k, std::move(entry));
        FDirty = true;
    }
    if (FMode == Mode::WriteThrough) UpdateFile();
}

void TIniFile::UpdateFile() {
    if (!FLoaded || !FDirty) return;
    if (FUnreadable) Unwritable(FFileName);
    const std::string_view c = FContents;
    // What goes where: new keys of a section after its last key, replaced
    // lines in place of their old text.
    struct Edit {
        std::size_t At, Skip; // Skip: where the old bytes resume
        const Section* Insert = nullptr;
        const std::string* Text = nullptr;
    };
    std::vector<Edit> edits;
    for (const auto& s : FSections)
        if (s->Found && !s->Added.empty()) edits.push_back({s->InsertAt, s->InsertAt, s.get(), nullptr});
    for (const auto& [start, r] : FReplaced)
        edits.push_back({start, r.first, nullptr, &r.second});
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) { return a.At < b.At; });

    std::vector<std::string_view> out;
    std::deque<std::string> owned;
    auto put = [&](std::string_view piece) {
        if (!piece.empty()) out.push_back(piece);
    };
    auto endsLine = [&] {
        if (out.empty()) return true;
        const char last = out.back().back();
        return last == '\n' || last == '\r';
    };
    auto putEntries = [&](const Section& s, std::string_view eol) {
        for (const auto& a : s.Added) {
            put(a.second);
            put(eol);
        }
    };
    // New lines inside the file end as the line before them does, so that a
    // lone CR never meets an LF that follows and the two become one line end.
    auto eolBefore = [&](std::size_t at) -> std::string_view {
        if (at >= 2 && c.substr(at - 2, 2) == "\r\n") return "\r\n";
        if (at >= 1 && c[at - 1] == '\n') return "\n";
        if (at >= 1 && c[at - 1] == '\r') return "\r";
        return FEol;
    };
    std::size_t pos = 0;
    for (const Edit& e : edits) {
        put(c.substr(pos, e.At - pos));
        pos = e.Skip;
        if (e.Text) {
            put(*e.Text);
            continue;
        }
        if (!endsLine()) put(FEol); // the last line had no line end
        putEntries(*e.Insert, eolBefore(e.At));
    }
    put(c.substr(pos));
    for (const auto& s : FSections) {
        if (s->Found || s->Added.empty()) continue;
        if (!endsLine()) put(FEol);
        put(owned.emplace_back("[" + s->Name + "]"));
        put(FEol);
        putEntries(*s, FEol);
    }
    try {
        WriteFileAtomically(FFileName, out);
    } catch (const std::exception&) {
        Unwritable(FFileName);
    }
    FDirty = false;
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
