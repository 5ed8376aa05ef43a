#pragma once
// Profile (INI) files: "[section]" lines followed by "key=value" lines.
// Sections and keys are found without regard to ASCII letter case; writing a
// key touches only that key's line (or adds one) and leaves every other byte
// of the file as it was.
#include <cstdint>
#include <string>

namespace platform {

class TIniFile {
public:
    // Longest value a read returns; longer values are cut.
    static constexpr std::size_t MaxValueLength = 2047;

    explicit TIniFile(std::string path);

    // The value of `key` in `section`, blanks around it removed, or `def`
    // when the file, section or key does not exist.
    std::string ReadString(const std::string& section, const std::string& key, const std::string& def);
    // Sets `key` in `section` and writes the file through at once (replacing
    // it atomically). A key or section that is missing is added. Throws
    // std::runtime_error("Unable to write to " + path) when the file cannot be
    // written, and std::invalid_argument for a section, key or value that would
    // not read back as itself (line breaks, "=" in a key, "]" in a section).
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    // "0x"/"0X" followed by hexadecimal digits, or a signed decimal number;
    // anything else gives `def`.
    std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t def);
    void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);

    // An integer value other than 0 is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def);
    void WriteBool(const std::string& section, const std::string& key, bool value);

    const std::string& FileName() const { return FFileName; }

private:
    std::string FFileName;
};

} // namespace platform
