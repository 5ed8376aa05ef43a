#include "Targets.h"

#include "links/ethernet/LinkState.h"
#include "links/serial/CPort.h"
#include "scales/ScaleList.h"
#include "settings/XMLConfig.h"

#include <fstream>
#include <iterator>

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
        targets.push_back(std::move(t));
    }
    return targets;
}

} // namespace

std::vector<Target> ReadTargetsFile(const std::string& path) {
    // Read as a stream, not as a regular file only: "--targets <(make-list)" is a pipe.
    std::ifstream in(path, std::ios::binary);
    if (!in) throw UsageError("cannot read the targets file " + path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw UsageError("cannot read the targets file " + path);
    return EnabledTargets(scales::ScaleList::Parse(text, ValidTarget, path));
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
