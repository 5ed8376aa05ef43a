// The INI layer on any file: a key written reads back as written (blanks
// around it removed), before and after the file is written, and no other
// line of the file changes; the port's settings restored, saved and restored
// again are the same, and the save never fails.
#include "links/serial/CPort.h"
#include "platform/AtomicFile.h"
#include "platform/IniFile.h"

#include "FuzzUtil.h"

#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using platform::TIniFile;

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto low = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (low(a[i]) != low(b[i])) return false;
    }
    return true;
}

// Line texts without their line ends (LF, CR LF or a lone CR).
std::vector<std::string> Lines(const std::string& s) {
    std::vector<std::string> out;
    std::string cur;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' || s[i] == '\r') {
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
            out.push_back(cur);
            cur.clear();
        } else {
            cur += s[i];
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

std::string Read(const std::string& path) {
    std::string s;
    FUZZ_CHECK(platform::ReadWholeFile(path, s));
    return s;
}

// Every setting of the port, as the INI layer writes it to a fresh file.
std::string Settings(TComPort& port, const std::string& path) {
    ::unlink(path.c_str());
    port.SaveSettings(ssIniFile, path);
    return Read(path);
}

const TSavedGroups AllGroups{sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers};

void WriteAndReadBack(const std::string& path, const std::string& file, const std::string& section,
                      const std::string& key, const std::string& value) {
    fuzz::PutFile(path, file);
    TIniFile ini(path, TIniFile::Mode::Batched);
    const std::string other = ini.ReadString("ComPort1", "Port", "\x01missing");
    try {
        ini.WriteString(section, key, value);
    } catch (const std::invalid_argument&) {
        return; // would not read back: refused, the file stays as it is
    }
    std::string expected = Trim(value).substr(0, TIniFile::MaxValueLength);
    const bool same = SameName(Trim(section), "ComPort1") && SameName(Trim(key), "Port");
    FUZZ_CHECK(ini.ReadString(section, key, "\x01missing") == expected);
    if (!same) FUZZ_CHECK(ini.ReadString("ComPort1", "Port", "\x01missing") == other);
    ini.UpdateFile();

    TIniFile again(path);
    FUZZ_CHECK(again.ReadString(section, key, "\x01missing") == expected);
    if (!same) FUZZ_CHECK(again.ReadString("ComPort1", "Port", "\x01missing") == other);

    // Around the one place that changed (a line replaced, or a key and
    // perhaps its section added) the file is as it was.
    const std::vector<std::string> before = Lines(file), after = Lines(Read(path));
    const std::size_t shorter = std::min(before.size(), after.size());
    std::size_t head = 0, tail = 0;
    while (head < shorter && before[head] == after[head])
        ++head;
    while (tail < shorter - head && before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
        ++tail;
    FUZZ_CHECK(before.size() - head - tail <= 1);
    FUZZ_CHECK(after.size() - head - tail <= 2);
}

void RestoreSaveRestore(const std::string& path, const std::string& file) {
    fuzz::PutFile(path, file);
    TComPort first;
    first.SetSavedGroups(AllGroups);
    first.RestoreSettings(ssIniFile, path);
    first.SaveSettings(ssIniFile, path); // throws, and so fails the run, if the save is refused
    TComPort second;
    second.SetSavedGroups(AllGroups);
    second.RestoreSettings(ssIniFile, path);
    const std::string scratch = path + ".settings";
    FUZZ_CHECK(Settings(first, scratch) == Settings(second, scratch));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string section = in.ConsumeRandomLengthString(24);
    const std::string key = in.ConsumeRandomLengthString(24);
    const std::string value = in.ConsumeRandomLengthString(64);
    const std::string file = in.ConsumeRemainingBytesAsString();
    const std::string path = fuzz::ScratchDir() + "ComPortTest.ini";
    WriteAndReadBack(path, file, section, key, value);
    RestoreSaveRestore(path, file);
    return 0;
}
