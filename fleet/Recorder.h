#pragma once
// The history of transfers, written one way for the window, the board and
// scaledb-send: the same outcome makes the same row whoever sent the table.
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "links/Link.h"
#include "scales/History.h"
#include "scales/ScaleList.h"
#include "scales/Targets.h"
#include "transfer/TransferEngine.h"

class QTimer;

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
    // The list's entries as written.
    const std::vector<std::string>& Targets() const { return FTargets; }

private:
    std::map<std::string, std::string> FByKey;
    std::vector<std::string> FTargets;
};

// Why the engine ended a transfer unsent, in the words every front-end shows
// and records; "" when it was sent. `replySeconds`: the reply time-out.
// The start and end commands are named as such ("no reply to the end command "Se" ...").
std::string FaultWords(const TTransferOutcome& outcome, double replySeconds);
// A link's failure in those words: one that never opened says so first.
std::string LinkFaultWords(const TLinkFailure& failure, bool opened);

// How a transfer ended, as the history keeps it. `row` as TTransferProgress::Row;
// `progress` the engine's at the end.
scales::TransferEnd EndOf(scales::TransferOutcome outcome, int row, const TTransferProgress& progress,
                          const std::string& message);

// One transfer in the history.
struct TRecording {
    std::string target; // its ScaleKey
    std::string name;
    std::int64_t id = 0; // its row once begun; 0 while none was written
    std::string scale;   // what makes it the same scale as another spelling, when known
};

// Writes the transfers of one table: a row when each starts (outcome
// "running"), the same row updated when it ends.
class TRecorder {
public:
    // `table`: path, size, SHA-256, rows, kind and program of what is sent;
    // target and name come with each transfer.
    TRecorder(scales::History& history, const scales::TransferStart& table, TScaleNames names);
    ~TRecorder();
    TRecorder(const TRecorder&) = delete;
    TRecorder& operator=(const TRecorder&) = delete;

    // The run's targets, hosts looked up: each is recorded under the scale the history
    // or the list already knows it by. A target recorded or listed as it is spelled
    // keeps its own key; else the list's entry that is the same scale (the same
    // address and port, the same device after symbolic links), else the recorded
    // target that is. Call before Begin; without it every target keeps its own key.
    void SameScales(const std::vector<scales::Target>& targets);

    // A transfer to `target` starts now: under its ScaleKey, with `name`, or
    // the list's name for it when `name` is empty.
    TRecording Begin(const std::string& target, const std::string& name = {});
    // The recording of a transfer that never began (stopped before its link
    // opened): End writes it whole.
    TRecording NotBegun(const std::string& target, const std::string& name = {}) const;
    // Ends `recording`; without a row of its own, the whole transfer is written at once.
    void End(TRecording& recording, const scales::TransferEnd& end);
    // How far a running transfer got (`row` as TTransferProgress::Row): written at once
    // when nothing was written for a second, else a second after the last write (on the
    // caller's event loop), so a sender that is killed leaves the row it was at a second
    // before at the latest. `now` is the caller's clock.
    void Progress(const TRecording& recording, int row, const TTransferProgress& progress,
                  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());
    // Writes the progress that waits for its second now (a test's clock moved on).
    void FlushProgress(std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now());

private:
    scales::History& FHistory;
    scales::TransferStart FTable;
    TScaleNames FNames;
    // Per target text: the key it is recorded under, and its same-scale key.
    std::map<std::string, std::pair<std::string, std::string>> FSame;
    // Per running transfer: the progress last given, and when it was last written.
    struct Pending {
        int row = -1, acknowledged = -1;
        std::chrono::steady_clock::time_point written{};
        bool waiting = false; // given but not written yet
    };
    std::map<std::int64_t, Pending> FProgress;
    std::unique_ptr<QTimer> FFlush;
};

} // namespace fleet
