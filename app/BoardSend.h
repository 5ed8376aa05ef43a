#pragma once
// The board's send: the loaded table to the checked scales through one fleet
// on the window's event loop, recorded as scaledb-send records its own.
#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fleet/Fleet.h"
#include "fleet/Log.h"
#include "fleet/Recorder.h"
#include "scales/History.h"
#include "transfer/DatabaseFile.h"

class TBoardSend {
public:
    // The table as the main window holds it, the history it is recorded in.
    struct Table {
        std::string path;
        scales::FileDigest digest;
        const TableData* data = nullptr;
        bool user = false;
    };

    // Checks the records against the targets' links; throws fleet::Refused
    // before anything goes out. `udpPortNote`: said in place of a UDP scale's
    // failure to listen on local port 1001 (empty: none). `windowLink`: the main
    // window's own link written as a target while it is connected, else "": the
    // scale it names is not reachable meanwhile and fails at once.
    TBoardSend(scales::History& history, const Table& table, std::vector<scales::Target> targets,
               const std::string& udpPortNote, const std::string& windowLink = {});
    ~TBoardSend();
    TBoardSend(const TBoardSend&) = delete;
    TBoardSend& operator=(const TBoardSend&) = delete;

    // Looks the hosts up (the event loop runs) and refuses two spellings of one
    // scale; throws as the constructor does. Then builds the fleet.
    void Prepare();
    // Opens the links; OnFinished follows on the loop once every scale is done.
    void Start();
    std::function<void()> OnFinished;
    // The scales still running are stopped, and recorded so.
    void Stop(const std::string& why);

    int Rows() const;
    // Per target, in the order given.
    std::vector<fleet::TFleet::Status> Statuses() const;
    const fleet::TargetResult& Result(std::size_t i) const;

    // Why a scale the main window's own link is connected to gets nothing.
    static const char* const HeldByWindow;

    // A finished scale's state in its cell: "sent", "stopped at row 3",
    // "FAILED before row 1: ..." (the start command), "FAILED after row 36: ..." (the end command).
    static QString StateText(const fleet::TargetResult& r);

private:
    scales::History& FHistory;
    Table FTable;
    std::vector<scales::Target> FTargets;
    std::string FUdpPortNote;
    std::string FWindowLink;
    // Per target: its index in the fleet, or -1 when the window's link holds it.
    std::vector<int> FInFleet;
    // The results of the targets the window's link holds, by target index.
    std::vector<fleet::TargetResult> FHeld;
    std::shared_ptr<const fleet::Records> FRecords;
    fleet::SendLog FLog{std::string()};
    // Goes after the fleet, which records through it.
    std::unique_ptr<fleet::TRecorder> FRecorder;
    std::unique_ptr<fleet::TFleet> FFleet;
};
