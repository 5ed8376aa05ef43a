#include "Recorder.h"

#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "fleet/Bytes.h"
#include "platform/Paths.h"
#include "scales/Targets.h"

namespace fleet {

TScaleNames::TScaleNames(const scales::ScaleList& list) {
    // The first entry of a scale names it, as the list is read top to bottom.
    for (const scales::ScaleEntry& e : list.Entries()) {
        FByKey.emplace(scales::ScaleKey(e.target), e.name);
        FTargets.push_back(e.target);
    }
}

TScaleNames TScaleNames::Listed() {
    return TScaleNames(scales::ReadScaleList(scales::ScaleListPath()));
}

std::string TScaleNames::Of(const std::string& target) const {
    const auto it = FByKey.find(scales::ScaleKey(target));
    return it != FByKey.end() ? it->second : std::string();
}

namespace {

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

} // namespace

namespace {

// "the start command "SbP"", "the end command "Se"", or a record's "Sr1037;...".
std::string CommandWords(const std::string& command) {
    const std::string quoted = Quoted(Abbreviate(command));
    if (command == protocol::StartProducts || command == protocol::StartUsers)
        return "the start command " + quoted;
    if (command == protocol::End) return "the end command " + quoted;
    return quoted;
}

bool RecordCommand(const std::string& command) {
    return protocol::Acknowledgement(command) == protocol::RecordTaken;
}

} // namespace

std::string FaultWords(const TTransferOutcome& outcome, double replySeconds) {
    switch (outcome.Fault) {
    case TTransferFault::None:
        break;
    case TTransferFault::EmptyRecord:
        return "row " + std::to_string(outcome.Row) +
               " has an empty record; the scale got \"Se\" in its place";
    case TTransferFault::NoReply:
        return "no reply to " + CommandWords(outcome.Command) + " after " + std::to_string(outcome.Tries) +
               " tries (" + Seconds(replySeconds) + " s each)";
    case TTransferFault::WrongReply: {
        const std::string answer =
            QuotedReply(outcome.Reply) + " instead of " + Quoted(protocol::Acknowledgement(outcome.Command));
        const std::string tries = " after " + std::to_string(outcome.Tries) + " tries";
        if (RecordCommand(outcome.Command))
            return answer + " to " + Quoted(Abbreviate(outcome.Command)) + tries;
        return "the scale refused " + CommandWords(outcome.Command) + ": " + answer + tries;
    }
    case TTransferFault::TooManyReplies: {
        const std::uint64_t commands = outcome.Progress.CommandsSent;
        return "the scale answered " + std::to_string(outcome.Progress.Replies) + " times to " +
               std::to_string(commands) + (commands == 1 ? " command" : " commands") +
               "; it may not hold the table";
    }
    }
    return {};
}

std::string LinkFaultWords(const TLinkFailure& failure, bool opened) {
    return opened ? failure.Message : "the link never opened: " + failure.Message;
}

scales::TransferEnd EndOf(scales::TransferOutcome outcome, int row, const TTransferProgress& progress,
                          const std::string& message) {
    scales::TransferEnd end;
    end.outcome = outcome;
    end.row = row;
    end.acknowledged = progress.Acknowledged;
    // Once the start command went out the scale may have begun replacing its
    // table, even when its acknowledgement never came back.
    end.startSent = outcome == scales::TransferOutcome::Sent || progress.CommandsSent > 0;
    end.resends = static_cast<int>(progress.Resends);
    end.message = message;
    return end;
}

TRecorder::TRecorder(scales::History& history, const scales::TransferStart& table, TScaleNames names)
    : FHistory(history), FTable(table), FNames(std::move(names)) {}

TRecorder::~TRecorder() = default;

namespace {

std::optional<scales::Target> Parsed(const std::string& text) {
    try {
        return scales::ParseTarget(text);
    } catch (const scales::TargetError&) {
        return std::nullopt;
    }
}

} // namespace

void TRecorder::SameScales(const std::vector<scales::Target>& targets) {
    FSame.clear();
    std::map<std::string, std::string> recorded; // key -> same-scale key
    for (auto& [key, same] : FHistory.RecordedScales()) {
        // Recorded before the same-scale key was: a literal address or a device still tells.
        if (same.empty())
            if (auto t = Parsed(key)) same = scales::SameScaleKey(*t).value_or("");
        recorded.emplace(key, same);
    }
    // The list's entries; a host name among them is looked up only when a target needs it.
    std::vector<scales::Target> listed;
    for (const std::string& text : FNames.Targets())
        if (auto t = Parsed(text)) listed.push_back(std::move(*t));
    bool lookedUp = false;
    for (const scales::Target& t : targets) {
        const std::string own = scales::ScaleKey(t.text);
        const std::string same = scales::SameScaleKey(t).value_or("");
        std::string key = own;
        if (!FNames.Of(t.text).empty() || recorded.count(own) != 0 || same.empty()) {
            FSame[t.text] = {key, same};
            continue;
        }
        if (!lookedUp) {
            scales::LookUpHosts(listed);
            lookedUp = true;
        }
        auto found = std::find_if(listed.begin(), listed.end(),
                                  [&](const scales::Target& e) { return scales::SameScaleKey(e) == same; });
        if (found != listed.end()) {
            key = scales::ScaleKey(found->text);
        } else {
            for (const auto& [other, otherSame] : recorded)
                if (otherSame == same) {
                    key = other;
                    break;
                }
        }
        FSame[t.text] = {key, same};
    }
}

TRecording TRecorder::NotBegun(const std::string& target, const std::string& name) const {
    TRecording r;
    const auto same = FSame.find(target);
    r.target = same != FSame.end() ? same->second.first : scales::ScaleKey(target);
    if (same != FSame.end()) r.scale = same->second.second;
    r.name = name.empty() ? FNames.Of(r.target) : name;
    return r;
}

TRecording TRecorder::Begin(const std::string& target, const std::string& name) {
    TRecording r = NotBegun(target, name);
    scales::TransferStart start = FTable;
    start.target = r.target;
    start.name = r.name;
    start.scale = r.scale;
    r.id = FHistory.Begin(start);
    return r;
}

void TRecorder::Progress(const TRecording& recording, int row, const TTransferProgress& progress,
                         std::chrono::steady_clock::time_point now) {
    if (recording.id == 0) return;
    auto [it, first] = FProgress.try_emplace(recording.id);
    Pending& p = it->second;
    if (!first && row == p.row && progress.Acknowledged == p.acknowledged) return;
    p.row = row;
    p.acknowledged = progress.Acknowledged;
    p.waiting = true;
    if (first || now - p.written >= std::chrono::seconds(1)) {
        FlushProgress(now);
        return;
    }
    if (!FFlush) {
        FFlush = std::make_unique<QTimer>();
        FFlush->setSingleShot(true);
        QObject::connect(FFlush.get(), &QTimer::timeout, FFlush.get(), [this] { FlushProgress(); });
    }
    if (!FFlush->isActive()) {
        const auto due =
            std::chrono::ceil<std::chrono::milliseconds>(p.written + std::chrono::seconds(1) - now);
        FFlush->start(static_cast<int>(std::max<std::int64_t>(1, due.count())));
    }
}

void TRecorder::FlushProgress(std::chrono::steady_clock::time_point now) {
    auto next = std::chrono::steady_clock::time_point::max();
    for (auto& [id, p] : FProgress) {
        if (!p.waiting) continue;
        if (p.written != std::chrono::steady_clock::time_point{} &&
            now - p.written < std::chrono::seconds(1)) {
            next = std::min(next, p.written + std::chrono::seconds(1));
            continue;
        }
        FHistory.Progress(id, p.row, p.acknowledged);
        p.written = now;
        p.waiting = false;
    }
    if (next != std::chrono::steady_clock::time_point::max() && FFlush && !FFlush->isActive()) {
        const auto due = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        FFlush->start(static_cast<int>(std::max<std::int64_t>(1, due.count())));
    }
}

void TRecorder::End(TRecording& recording, const scales::TransferEnd& end) {
    if (recording.id != 0) {
        FProgress.erase(recording.id); // the end says it all
        FHistory.End(recording.id, end);
        recording.id = 0;
        return;
    }
    scales::TransferStart start = FTable;
    start.target = recording.target;
    start.name = recording.name;
    start.scale = recording.scale;
    FHistory.Record(start, end);
}

} // namespace fleet
