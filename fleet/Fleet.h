#pragma once
// One scale transfer per target, all on one event loop: what the board and
// scaledb-send drive.
#include <QElapsedTimer>
#include <QObject>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fleet/Links.h"
#include "fleet/Recorder.h"
#include "fleet/Result.h"

class TUdpShare;

namespace fleet {

class Records;
class SendLog;

class TFleet {
public:
    TFleet(const FleetOptions& options, std::vector<Target> targets, std::shared_ptr<const Records> records,
           const LinkSettings& settings, SendLog& log);
    ~TFleet();
    TFleet(const TFleet&) = delete;
    TFleet& operator=(const TFleet&) = delete;

    // Each target takes its scale's lock (scales::TScaleLock, for this program) before its
    // link opens and lets it go once the link is closed: a scale that another sender holds
    // fails at once with who holds it ("being sent by ..."), never opened, or waits for it
    // up to FleetOptions::waitBusySeconds on the loop.
    //
    // Opens every link and sends; returns when every target finished or Stop was called.
    void Run();
    // Opens every link and returns; the targets are sent to on the caller's event loop and
    // OnFinished follows (perhaps before Start returns, when no link could be opened).
    void Start();
    // Once every target finished, or after Stop.
    std::function<void()> OnFinished;
    // Sends nothing more, closes the links; the targets still running are "stopped".
    void Stop(const std::string& why);
    const std::vector<TargetResult>& Results() const { return results_; }
    // Records every transfer through `recorder`, which outlives the fleet; a target
    // without a name of its own gets the list's. Set before Run or Start.
    void RecordIn(TRecorder& recorder) { recorder_ = &recorder; }
    // Said instead of a UDP target's failure to listen on local port 1001 (the board:
    // the window's own UDP link holds it). Empty: the failure as it is.
    void SetUdpPortNote(std::string note) { udpPortNote_ = std::move(note); }

    // Per target: rows acknowledged, rows, seconds so far, finished.
    struct Status {
        int acknowledged = 0;
        int rows = 0;
        double seconds = 0;
        bool finished = false;
        bool sent = false;    // finished with the whole table
        bool started = false; // the link is open and the transfer under way
        bool waiting = false; // for another sender to let the scale go (--wait-busy)
    };
    std::vector<Status> Statuses() const;

private:
    struct TargetRun;
    // Once the scale's lock is held: the link opens, and the transfer starts with it.
    void OpenLink(TargetRun& run);
    // The scale is not this fleet's to send to (another sender holds it): fails, never opened.
    void Refuse(TargetRun& run, const std::string& why);
    // `ended` is the engine's own account when it finished the transfer.
    void Finish(TargetRun& run, TargetResult::Outcome outcome, const std::string& why,
                const TTransferOutcome* ended = nullptr);
    void AllFinished();

    FleetOptions options_;
    std::shared_ptr<const Records> records_;
    LinkSettings settings_;
    SendLog& log_;
    TRecorder* recorder_ = nullptr;
    std::string udpPortNote_;
    std::shared_ptr<TUdpShare> udp_; // the UDP targets' endpoint, while any is open
    std::vector<std::unique_ptr<TargetRun>> runs_;
    std::vector<TargetResult> results_;
    std::function<void()> quit_;
    std::size_t running_ = 0;
    bool stopped_ = false;
    bool starting_ = false;
    bool notified_ = false;
    // Cancels the closes Finish queued when the fleet goes first.
    std::unique_ptr<QObject> context_;
};

} // namespace fleet
