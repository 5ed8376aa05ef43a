#pragma once
// Profile (INI) files: "[section]" lines followed by "key=value" lines.
// Sections and keys are found without regard to ASCII letter case and to
// blanks around their names; writing a key touches only that key's line (or
// adds one) and leaves every other byte of the file as it was. Lines end at
// LF, CR LF or a lone CR; a UTF-8 byte-order mark at the start is skipped on
// reading and kept on writing.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class TIniFile {
public:
    // Longest value a read returns; longer values are cut.
    static constexpr std::size_t MaxValueLength = 2047;

    enum class Mode {
        // Every read looks at the file as it is now; every write goes
        // through to the file at once.
        WriteThrough,
        // The file is read once, at the first access; writes are kept until
        // UpdateFile(), which writes the file once. For large files.
        Batched,
    };

    explicit TIniFile(std::string path, Mode mode = Mode::WriteThrough);
    ~TIniFile();
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    // The value of `key` in `section`, blanks around it removed, or `def`
    // when the file, section or key does not exist.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def);
    // Sets `key` in `section`. A key or section that is missing is added.
    // Throws std::runtime_error("Unable to write to " + path) when the file
    // cannot be written (in Batched mode: exists but cannot be read), and
    // std::invalid_argument for a section, key or value that would not read
    // back as itself (line breaks, "=" in a key, "]" in a section).
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    // Batched mode: replaces the file atomically with the keys written so
    // far; nothing happens when nothing changed. Throws std::runtime_error
    // ("Unable to write to " + path) on failure; the changes are then kept.
    void UpdateFile();

    // "0x"/"0X" followed by hexadecimal digits, or a signed decimal number;
    // anything else gives `def`.
    std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t def);
    void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);

    // An integer value other than 0 is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def);
    void WriteBool(const std::string& section, const std::string& key, bool value);

    const std::string& FileName() const { return FFileName; }

private:
    struct Section;

    void Load();
    Section& FindSection(const std::string& name);
    std::string_view EntryValue(Section& s, const std::string& key);

    std::string FFileName;
    Mode FMode;
    bool FLoaded = false;
    bool FUnreadable = false; // exists, but cannot be read: never replaced
    std::string FContents;
    std::size_t FBodyStart = 0;   // after a byte-order mark
    std::string_view FEol = "\n"; // line end for new lines, as the file has them
    std::vector<std::unique_ptr<Section>> FSections;
    // Lines replaced in place: line start -> (end of the old text, new text).
    std::map<std::size_t, std::pair<std::size_t, std::string>> FReplaced;
    bool FDirty = false;
};

} // namespace platform
