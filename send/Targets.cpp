#include "Targets.h"

#include "links/ethernet/LinkState.h"
#include "links/serial/CPort.h"
#include "scales/ScaleList.h"
#include "settings/XMLConfig.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendcmd {

Target ParseTarget(const std::string& text) {
    try {
        return scales::ParseTarget(text);
    } catch (const scales::TargetError& e) {
        throw UsageError(e.what());
    }
}

void RefuseDuplicates(const std::vector<Target>& targets) {
    try {
        scales::RefuseDuplicates(targets);
    } catch (const scales::TargetError& e) {
        throw UsageError(e.what());
    }
}

namespace {

std::string ValidTarget(const std::string& text) {
    try {
        ParseTarget(text);
        return {};
    } catch (const UsageError& e) {
        return e.what();
    }
}

std::vector<Target> EnabledTargets(const scales::ScaleList& list) {
    if (!list.Ok()) {
        std::string all;
        for (const std::string& m : list.Messages())
            all += (all.empty() ? "" : "\n") + m;
        throw UsageError(all);
    }
    std::vector<Target> targets;
    for (const scales::ScaleEntry& e : list.Enabled()) {
        Target t = ParseTarget(e.target);
        t.name = e.name;
        t.pace = e.pace;
        targets.push_back(std::move(t));
    }
    return targets;
}

} // namespace

namespace {

// A file, or a pipe that something writes to: "--targets <(make-list)" is one. A folder,
// or a named pipe nobody writes to, is refused at once, never waited on.
std::string ReadTargetsText(const std::string& path) {
    auto fail = [&](const std::string& why) {
        return UsageError("cannot read the targets file " + path + why);
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw fail("");
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw fail(std::string(": ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw fail(": it is a folder");
    if (S_ISSOCK(st.st_mode)) throw fail(": it is a socket");
    std::string text;
    char buf[65536];
    if (S_ISFIFO(st.st_mode)) {
        // Opened without waiting: an end of file at once means no writer.
        ssize_t n;
        do
            n = ::read(fd, buf, sizeof buf);
        while (n < 0 && errno == EINTR);
        if (n == 0) throw fail(": nothing writes to that pipe");
        if (n < 0 && errno != EAGAIN) throw fail(std::string(": ") + std::strerror(errno));
        if (n > 0) text.append(buf, static_cast<std::size_t>(n));
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw fail(std::string(": ") + std::strerror(errno));
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

} // namespace

std::vector<Target> ReadTargetsFile(const std::string& path) {
    return EnabledTargets(scales::ScaleList::Parse(ReadTargetsText(path), ValidTarget, path));
}

std::vector<Target> ReadScalesFile(const std::string& path) {
    const scales::ScaleList list = scales::ReadScaleList(path, ValidTarget, path);
    if (list.Missing())
        throw UsageError("--scales: there is no list of scales at " + path +
                         " (one scale a line: TARGET  NAME)");
    std::vector<Target> targets = EnabledTargets(list);
    if (targets.empty())
        throw UsageError("--scales: " + path +
                         (list.Entries().empty() ? " lists no scale" : " has no scale switched on"));
    return targets;
}

Target DefaultTarget(const std::string& settingsDir) {
    // The window's own reading: a missing or broken config.xml gives its defaults.
    settings::ConfigDocument doc;
    settings::Config config;
    settings::PrepareConfig(doc, settingsDir);
    settings::ReadConfig(doc, config);
    const settings::LinkSettings& link = config.Link;
    Target t;
    if (link.Kind == KindEthernet) {
        t.kind = link.Protocol == ProtocolUDP ? Target::Kind::Udp : Target::Kind::Tcp;
        t.host = link.Host;
        t.port = link.Port & 0xFFFF; // the links use the low 16 bits
        t.text = settings::LinkTargetText(link, {});
        return t;
    }
    // As in the window: a missing or unreadable file leaves the port's defaults.
    TComPort port;
    RestoreComPortIni(port, settingsDir);
    t.kind = Target::Kind::Serial;
    t.device = port.Port();
    t.text = settings::LinkTargetText(link, t.device);
    return t;
}

} // namespace sendcmd
