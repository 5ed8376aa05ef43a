// The serial ports the system reports: the tty devices of the kernel that
// have a device (and so a driver) behind them, and the stable names udev
// gives them under /dev/serial/by-id and /dev/serial/by-path. Virtual
// terminals and pseudo-terminals have no device and are left out.
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <system_error>

#include "CPort.h"

namespace {

constexpr int RegistryError = 23;

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Sorted as text without regard to case; ties by the exact text, so the
// order never depends on the directory's.
bool TextBefore(const std::string& a, const std::string& b) {
    const std::string la = LowerAscii(a), lb = LowerAscii(b);
    return la != lb ? la < lb : a < b;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

std::vector<std::string> KernelPorts(const std::string& classDir) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(classDir.c_str()));
    if (!dir) throw EComPort(RegistryError, errno);
    std::vector<std::string> ports;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) throw EComPort(RegistryError, errno);
            break;
        }
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (stat((classDir + "/" + name + "/device").c_str(), &st) != 0) continue;
        // sysfs spells a "/" inside a device name as "!".
        std::replace(name.begin(), name.end(), '!', '/');
        ports.push_back("/dev/" + name);
    }
    std::sort(ports.begin(), ports.end(), TextBefore);
    return ports;
}

// Stable name -> the "/dev/..." kernel name its link points to, for the links
// under <devDir>/serial/by-id and by-path. Missing folders are simply none.
std::multimap<std::string, std::string> StableNames(const std::string& devDir) {
    namespace fs = std::filesystem;
    std::multimap<std::string, std::string> byDevice;
    const fs::path dev(devDir);
    for (const char* kind : {"by-id", "by-path"}) {
        std::error_code ec;
        for (fs::directory_iterator it(dev / "serial" / kind, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code linkError;
            const fs::path target = fs::read_symlink(it->path(), linkError);
            if (linkError) continue;
            // udev writes relative links ("../../ttyUSB0"); an absolute one names the real /dev.
            fs::path resolved = target.is_absolute() ? target : (it->path().parent_path() / target);
            resolved = resolved.lexically_normal();
            fs::path inDev = target.is_absolute() ? resolved.lexically_relative("/dev")
                                                  : resolved.lexically_relative(dev.lexically_normal());
            if (inDev.empty() || *inDev.begin() == "..") continue;
            byDevice.emplace("/dev/" + inDev.generic_string(),
                             "/dev/serial/" + std::string(kind) + "/" + it->path().filename().string());
        }
    }
    return byDevice;
}

} // namespace

std::vector<TSerialPortEntry> SerialPortEntriesIn(const std::string& classDir, const std::string& devDir) {
    const std::vector<std::string> ports = KernelPorts(classDir);
    const auto stable = devDir.empty() ? std::multimap<std::string, std::string>{} : StableNames(devDir);
    std::vector<TSerialPortEntry> entries;
    for (const std::string& port : ports) {
        entries.push_back({port, {}});
        // Each stable name right after the kernel name it points to.
        std::vector<std::string> names;
        for (auto [it, end] = stable.equal_range(port); it != end; ++it)
            names.push_back(it->second);
        std::sort(names.begin(), names.end(), TextBefore);
        for (std::string& name : names)
            entries.push_back({std::move(name), port});
    }
    return entries;
}

void ListSerialPortsIn(const std::string& classDir, const std::string& devDir,
                       std::vector<std::string>& target) {
    std::vector<std::string> names;
    for (TSerialPortEntry& entry : SerialPortEntriesIn(classDir, devDir))
        names.push_back(std::move(entry.Name));
    target = std::move(names);
}

void ListSerialPortsIn(const std::string& classDir, std::vector<std::string>& target) {
    ListSerialPortsIn(classDir, {}, target);
}

std::vector<TSerialPortEntry> SerialPortEntries() {
    return SerialPortEntriesIn("/sys/class/tty", "/dev");
}

void ListSerialPorts(std::vector<std::string>& target) {
    ListSerialPortsIn("/sys/class/tty", "/dev", target);
}
