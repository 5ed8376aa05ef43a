// The serial ports the system reports: the tty devices of the kernel that
// have a device (and so a driver) behind them. Virtual terminals and
// pseudo-terminals have none and are left out.
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>

#include "CPort.h"

void ListSerialPortsIn(const std::string& classDir, std::vector<std::string>& target);

namespace {

constexpr int RegistryError = 23;

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};

} // namespace

void ListSerialPortsIn(const std::string& classDir, std::vector<std::string>& target) {
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
    // Sorted as text without regard to case; ties by the exact text, so the
    // order never depends on the directory's.
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
        const std::string la = LowerAscii(a), lb = LowerAscii(b);
        return la != lb ? la < lb : a < b;
    });
    target = std::move(ports);
}

void ListSerialPorts(std::vector<std::string>& target) {
    ListSerialPortsIn("/sys/class/tty", target);
}
