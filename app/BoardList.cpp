#include "BoardList.h"

#include "links/Link.h"
#include "scales/Targets.h"

std::string TBoardList::CheckTarget(const std::string& target) {
    try {
        scales::ParseTarget(target);
        return {};
    } catch (const scales::TargetError& e) {
        return e.what();
    }
}

std::string TBoardList::CheckSameScale(const scales::ScaleList& list, const std::string& target, int ignore) {
    std::vector<scales::Target> targets;
    std::vector<int> lines;
    try {
        targets.push_back(scales::ParseTarget(target));
    } catch (const scales::TargetError& e) {
        return e.what();
    }
    const auto& entries = list.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (static_cast<int>(i) == ignore) continue;
        try {
            scales::Target t = scales::ParseTarget(entries[i].target);
            if (t.kind != targets.front().kind) continue;
            targets.push_back(std::move(t));
            lines.push_back(entries[i].line);
        } catch (const scales::TargetError&) {
        }
    }
    scales::LookUpHosts(targets);
    const scales::Target& fresh = targets.front();
    // The shared endpoint on local port 1001 listens on IPv4: no answer could come.
    if (fresh.kind == scales::Target::Kind::Udp && fresh.address &&
        fresh.address->find(':') != std::string::npos)
        return UdpIPv6Advice(fresh.host, *fresh.address);
    const std::string freshKey = scales::ScaleKey(fresh.text);
    const std::optional<std::string> freshSame = scales::SameScaleKey(fresh);
    for (std::size_t i = 1; i < targets.size(); ++i) {
        const scales::Target& t = targets[i];
        const std::optional<std::string> same = scales::SameScaleKey(t);
        if (scales::ScaleKey(t.text) != freshKey && !(freshSame && same == freshSame)) continue;
        const std::string where = freshSame ? " (" + freshSame->substr(freshSame->find(' ') + 1) + ")" : "";
        return target + " is the same scale as " + t.text + where + ", already on line " +
               std::to_string(lines[i - 1]);
    }
    return {};
}

void TBoardList::Read() {
    FList = scales::ReadScaleList(scales::ScaleListPath(), CheckTarget);
}

std::string TBoardList::Change(const std::function<std::string(scales::ScaleList&)>& edit) {
    const std::string path = scales::ScaleListPath();
    scales::ScaleList list = scales::ReadScaleList(path, CheckTarget);
    for (const auto& problem : list.Problems())
        if (problem.line == 0) return problem.message;
    if (std::string error = edit(list); !error.empty()) return error;
    try {
        scales::WriteScaleList(path, list);
    } catch (const std::exception& e) {
        return e.what();
    }
    // Read back as written: a bad line's number, and a duplicate's "on line 3",
    // are where the lines are now.
    FList = scales::ScaleList::Parse(list.Text(), CheckTarget, list.Label());
    return {};
}
