#include "Process.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

namespace platform {

namespace {

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string Boot() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    const std::string id = FirstLine("/proc/sys/kernel/random/boot_id");
    if (id.empty()) return {};
    return std::string(host) + " " + id;
}

// The 22nd field of /proc/PID/stat; 0 when there is no such process. The
// command name (field 2) may hold blanks and parentheses: fields are counted
// after its last ")".
std::uint64_t StartOf(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int n = 3; n <= 22 && fields >> field; ++n)
        if (n == 22) return std::stoull(field);
    return 0;
}

} // namespace

ProcessIdentity ThisProcess() {
    static const ProcessIdentity self = [] {
        ProcessIdentity p;
        p.pid = static_cast<int>(::getpid());
        p.start = StartOf(p.pid);
        p.boot = Boot();
        return p;
    }();
    // A forked child is another process.
    if (self.pid != static_cast<int>(::getpid())) {
        ProcessIdentity p = self;
        p.pid = static_cast<int>(::getpid());
        p.start = StartOf(p.pid);
        return p;
    }
    return self;
}

ProcessState StateOf(const ProcessIdentity& process) {
    if (process.pid <= 0 || process.boot.empty()) return ProcessState::Unknown;
    const ProcessIdentity self = ThisProcess();
    if (process.boot != self.boot) {
        // The same machine booted since; another machine's processes are not seen from here.
        const auto host = [](const std::string& boot) { return boot.substr(0, boot.rfind(' ')); };
        return host(process.boot) == host(self.boot) ? ProcessState::Gone : ProcessState::Unknown;
    }
    const std::uint64_t start = StartOf(process.pid);
    return start != 0 && start == process.start ? ProcessState::Running : ProcessState::Gone;
}

} // namespace platform
