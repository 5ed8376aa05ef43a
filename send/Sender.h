#pragma once
// Drives one transfer engine per target, all on one event loop.
#include "Cli.h"
#include "Links.h"
#include "Report.h"
#include "fleet/Recorder.h"

#include <QElapsedTimer>
#include <QObject>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TTransferEngine;
struct TTransferOutcome;

namespace sendcmd {

class Records;

// Every command and reply, time-stamped, with its target, bytes escaped.
class SendLog {
public:
    // Appends to `path`; throws UsageError when it cannot be opened. An empty path logs nothing.
    explicit SendLog(const std::string& path);
    ~SendLog();
    SendLog(const SendLog&) = delete;
    SendLog& operator=(const SendLog&) = delete;
    // `target` is the target's text, with its name quoted after it when it has one.
    void Write(const std::string& target, const char* what, const std::string& text);

private:
    std::FILE* file_ = nullptr;
};

class Sender {
public:
    Sender(const SendOptions& options, std::vector<Target> targets, std::shared_ptr<const Records> records,
           const LinkSettings& settings, SendLog& log);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

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
    // Records every transfer through `recorder`, which outlives the sender; a target
    // without a name of its own gets the list's. Set before Run or Start.
    void RecordIn(fleet::TRecorder& recorder) { recorder_ = &recorder; }
    // Said instead of a UDP target's failure to listen on local port 1001 (the board:
    // the window's own UDP link holds it). Empty: the failure as it is.
    void SetUdpPortNote(std::string note) { udpPortNote_ = std::move(note); }

    // Called at every change, for the progress display.
    std::function<void()> OnChange;
    // Per target: rows acknowledged, rows, seconds so far, finished.
    struct Status {
        int acknowledged = 0;
        int rows = 0;
        double seconds = 0;
        bool finished = false;
        bool sent = false;    // finished with the whole table
        bool started = false; // the link is open and the transfer under way
    };
    std::vector<Status> Statuses() const;

private:
    struct TargetRun;
    // `ended` is the engine's own account when it finished the transfer.
    void Finish(TargetRun& run, TargetResult::Outcome outcome, const std::string& why,
                const TTransferOutcome* ended = nullptr);
    void EndRecord(TargetRun& run);
    void Finished(TargetRun& run, const TTransferOutcome& outcome);
    void LogReceived(TargetRun& run, std::string_view text);
    void LogReply(TargetRun& run);
    void LogRepliesNotLogged(TargetRun& run);
    void AllFinished();

    const SendOptions& options_;
    std::shared_ptr<const Records> records_;
    LinkSettings settings_;
    SendLog& log_;
    fleet::TRecorder* recorder_ = nullptr;
    std::string udpPortNote_;
    std::shared_ptr<TUdpShare> udp_; // the UDP targets' endpoint, while any is open
    std::vector<std::unique_ptr<TargetRun>> runs_;
    std::vector<TargetResult> results_;
    std::function<void()> quit_;
    std::size_t running_ = 0;
    bool stopped_ = false;
    bool starting_ = false;
    bool notified_ = false;
    // Cancels the closes Finish queued when the sender goes first.
    std::unique_ptr<QObject> context_;
};

} // namespace sendcmd
