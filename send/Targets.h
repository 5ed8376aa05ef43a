#pragma once
// Where a table goes: the targets of the command line, of a targets file, or the
// one link that config.xml and ComPortTest.ini name.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sendcmd {

// Bad usage, an unreadable table or target: exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SerialFrame {
    int dataBits = 8;    // 5 to 8
    char parity = 'N';   // N, O, E, M, S
    int stopTenths = 10; // 10, 15, 20
};

struct Target {
    enum class Kind { Serial, Tcp, Udp };
    Kind kind = Kind::Tcp;
    std::string text; // as the user wrote it; names the target in every message

    // Serial: what is not given comes from ComPortTest.ini, as the window reads it.
    std::string device;
    std::optional<int> rate;
    std::optional<SerialFrame> frame;

    // TCP and UDP.
    std::string host;
    int port = 0;
};

// "serial:DEVICE[@RATE[,8N1]]", "tcp:HOST:PORT" or "udp:HOST:PORT". Throws UsageError.
Target ParseTarget(const std::string& text);

// One target a line; blank lines and lines starting with # are skipped. Throws
// UsageError naming the file (and line) when it cannot be read or a line is not a target.
std::vector<Target> ReadTargetsFile(const std::string& path);

// The link the window would open: config.xml and ComPortTest.ini in `settingsDir`
// (ending in "/"), read without changing either file.
Target DefaultTarget(const std::string& settingsDir);

} // namespace sendcmd
