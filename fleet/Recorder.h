#pragma once
// The history of transfers, written one way for the window, the board and
// scaledb-send: the same outcome makes the same row whoever sent the table.
#include <cstdint>
#include <map>
#include <string>

#include "scales/History.h"
#include "scales/ScaleList.h"
#include "transfer/TransferEngine.h"

namespace fleet {

// The names the shop's list gives its scales, found by ScaleKey: however the
// list, the command line or the window spell one link, it is one scale.
class TScaleNames {
public:
    TScaleNames() = default;
    explicit TScaleNames(const scales::ScaleList& list);
    // The settings folder's list.
    static TScaleNames Listed();
    // The list's name for `target`, or "".
    std::string Of(const std::string& target) const;

private:
    std::map<std::string, std::string> FByKey;
};

// Why the engine ended a transfer unsent, in the words every front-end shows
// and records; "" when it was sent. `replySeconds`: the reply time-out.
std::string FaultWords(const TTransferOutcome& outcome, double replySeconds);

// How a transfer ended, as the history keeps it. `row` as TTransferProgress::Row;
// `progress` the engine's at the end.
scales::TransferEnd EndOf(scales::TransferOutcome outcome, int row, const TTransferProgress& progress,
                          const std::string& message);

// One transfer in the history.
struct TRecording {
    std::string target; // its ScaleKey
    std::string name;
    std::int64_t id = 0; // its row once begun; 0 while none was written
};

// Writes the transfers of one table: a row when each starts (outcome
// "running"), the same row updated when it ends.
class TRecorder {
public:
    // `table`: path, size, SHA-256, rows, kind and program of what is sent;
    // target and name come with each transfer.
    TRecorder(scales::History& history, const scales::TransferStart& table, TScaleNames names);

    // A transfer to `target` starts now: under its ScaleKey, with `name`, or
    // the list's name for it when `name` is empty.
    TRecording Begin(const std::string& target, const std::string& name = {});
    // The recording of a transfer that never began (stopped before its link
    // opened): End writes it whole.
    TRecording NotBegun(const std::string& target, const std::string& name = {}) const;
    // Ends `recording`; without a row of its own, the whole transfer is written at once.
    void End(TRecording& recording, const scales::TransferEnd& end);

private:
    scales::History& FHistory;
    scales::TransferStart FTable;
    TScaleNames FNames;
};

} // namespace fleet
