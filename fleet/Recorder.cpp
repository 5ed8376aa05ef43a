#include "Recorder.h"

#include <cstdio>
#include <utility>

#include "fleet/Bytes.h"
#include "platform/Paths.h"
#include "scales/Targets.h"

namespace fleet {

TScaleNames::TScaleNames(const scales::ScaleList& list) {
    // The first entry of a scale names it, as the list is read top to bottom.
    for (const scales::ScaleEntry& e : list.Entries())
        FByKey.emplace(scales::ScaleKey(e.target), e.name);
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

std::string FaultWords(const TTransferOutcome& outcome, double replySeconds) {
    const std::string command = Abbreviate(outcome.Command);
    switch (outcome.Fault) {
    case TTransferFault::None:
        break;
    case TTransferFault::EmptyRecord:
        return "row " + std::to_string(outcome.Row) +
               " has an empty record; the scale got \"Se\" in its place";
    case TTransferFault::NoReply:
        return "no reply to \"" + command + "\" after " + std::to_string(outcome.Tries) + " tries (" +
               Seconds(replySeconds) + " s each)";
    case TTransferFault::WrongReply:
        return QuotedReply(outcome.Reply) + " instead of " +
               Quoted(protocol::Acknowledgement(outcome.Command)) + " to " + Quoted(command) + " after " +
               std::to_string(outcome.Tries) + " tries";
    case TTransferFault::TooManyReplies: {
        const std::uint64_t commands = outcome.Progress.CommandsSent;
        return "the scale answered " + std::to_string(outcome.Progress.Replies) + " times to " +
               std::to_string(commands) + (commands == 1 ? " command" : " commands") +
               "; it may not hold the table";
    }
    }
    return {};
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

TRecording TRecorder::NotBegun(const std::string& target, const std::string& name) const {
    TRecording r;
    r.target = scales::ScaleKey(target);
    r.name = name.empty() ? FNames.Of(target) : name;
    return r;
}

TRecording TRecorder::Begin(const std::string& target, const std::string& name) {
    TRecording r = NotBegun(target, name);
    scales::TransferStart start = FTable;
    start.target = r.target;
    start.name = r.name;
    r.id = FHistory.Begin(start);
    return r;
}

void TRecorder::End(TRecording& recording, const scales::TransferEnd& end) {
    if (recording.id != 0) {
        FHistory.End(recording.id, end);
        recording.id = 0;
        return;
    }
    scales::TransferStart start = FTable;
    start.target = recording.target;
    start.name = recording.name;
    FHistory.Record(start, end);
}

} // namespace fleet
