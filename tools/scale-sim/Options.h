#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace scalesim {

enum class Mode { None, Serial, Tcp, Udp };

// Everything the command line can say. Counts of 0 mean "off".
struct Options {
    Mode mode = Mode::None;
    int port = 0;      // TCP/UDP: local port to bind, 0 = ephemeral
    int replyPort = 0; // UDP: send replies to this port instead of the sender's
    std::string logPath;
    std::string symlinkPath; // serial: a stable name pointing at the pty slave
    int delayMs = 0;
    bool split = false;
    int splitPauseMs = 1;
    bool pad = false;
    bool doubleReply = false; // every reply written twice, doubleGapMs apart
    int doubleGapMs = 20;
    int holdMs = 0;               // TCP: a connection is read only this long after it was accepted
    std::uint64_t strayAfter = 0; // after the reply to the N-th command, a stray "Mr"
    std::uint64_t wrongEvery = 0;
    std::uint64_t silentAfter = 0;
    std::optional<std::uint64_t> records;
    bool exitWhenDone = false;
    std::uint64_t resetAfter = 0;
    std::uint64_t closeAfter = 0;
    std::optional<std::string> unknownReply;
    std::uint64_t refuseRow = 0; // the N-th record of every transfer is answered "Mx", always
    int count = 1;               // scales served by this process
    int index = 0;               // 1..count for one of several scales; 0 when alone
    bool watchStdin = true;
    bool verbose = false;
    bool help = false;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError with a one-line reason.
Options ParseOptions(const std::vector<std::string>& args);

// The options of scale `index` (1..count) of several: its own port, log and symlink.
Options ForScale(const Options& all, int index);

const char* UsageText();

} // namespace scalesim
