#pragma once
// One scale's transfer: the engine, the link its commands go out on, the log
// of what passed and its row in the history. The window drives one over the
// link it keeps open; a fleet drives one per scale over links of their own.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "fleet/Recorder.h"
#include "links/Link.h"
#include "transfer/TransferEngine.h"

namespace fleet {

class SendLog;

// What a transfer tells whoever drives it, on the GUI thread.
class TScaleTransferListener {
public:
    // The progress moved (start, reply, tick, stop).
    virtual void TransferMoved(const TTransferProgress& progress) { (void)progress; }
    // The engine completed or failed the transfer (not after Stop).
    virtual void TransferEnded(const TTransferOutcome& outcome) = 0;
    // A link the transfer owns could not be opened, or broke.
    virtual void TransferLinkFailed(const TLinkFailure& failure) { (void)failure; }
    // Asked before every command: false, and it does not go out.
    virtual bool TransferMaySend() { return true; }
    // The kind whose start acknowledgement counts now; `started`: the kind given to Start.
    virtual TDatabaseKind TransferKindNow(TDatabaseKind started) { return started; }

    virtual ~TScaleTransferListener() = default;
};

class TScaleTransfer : private TTransferListener, private TLinkListener {
public:
    // `rows` is read at every tick and outlives the transfer.
    TScaleTransfer(const TTransferOptions& options, const TTransferRows* rows,
                   TScaleTransferListener& listener, transfer::TEngineClock& clock = transfer::QtClock());
    ~TScaleTransfer() override;
    TScaleTransfer(const TScaleTransfer&) = delete;
    TScaleTransfer& operator=(const TScaleTransfer&) = delete;

    // --- The link ----------------------------------------------------------

    // Commands go out on `link`, which its owner opens and listens to (the
    // window: what it receives comes back through Feed). None: nowhere.
    void UseLink(TLink* link) { FLink = link; }
    // Owns `link` and listens to it: once open, the transfer of `kind`
    // starts; what it receives is fed and logged; a failure is told.
    void OwnLink(std::unique_ptr<TLink> link, TDatabaseKind kind);
    // Opens the owned link.
    void Open();
    // Closes the owned link.
    void Close();
    TLink* Link() const { return FLink; }

    // --- The log -----------------------------------------------------------

    // Every command and reply of the owned link goes to `log` under `label`.
    void LogTo(SendLog& log, std::string label);
    void Log(const char* what, const std::string& text);
    // The reply line still being logged, and the count of lines that were not.
    void FlushLog();

    // --- The history -------------------------------------------------------

    // The transfer is recorded through `recorder`, which outlives the
    // recording, under `target` and `name` (empty: the list's name).
    void RecordIn(TRecorder& recorder, const std::string& target, const std::string& name = {});
    // The same through a recorder of its own, for this one transfer.
    void RecordIn(std::unique_ptr<TRecorder> recorder, const std::string& target);
    // Its row, written now as running.
    void BeginRecord();
    // Its end; a transfer never begun in the history is written whole. `row`
    // as TTransferProgress::Row. Afterwards nothing is recorded.
    void EndRecord(scales::TransferOutcome outcome, int row, const TTransferProgress& progress,
                   const std::string& message);
    bool Recording() const { return FRecorder != nullptr; }
    // Where a transfer ending now stands in a table of `rows`, as
    // TTransferProgress::Row: the engine's account when it finished the
    // transfer (`finished`), else where it is.
    int EndRow(const TTransferOutcome* finished, int rows) const;

    // --- Driving -----------------------------------------------------------

    // What to send; not owned, read at every tick.
    void SetRows(const TTransferRows* rows) { FEngine.SetRows(rows); }
    // Starts over; what the link still holds unread from before is no reply to it.
    void Start(TDatabaseKind kind);
    void Stop() { FEngine.Stop(); }
    void Feed(const std::string& text) { FEngine.Feed(text); }
    // What an earlier link left without a line end is not a reply.
    void ClearReplies() { FEngine.ClearReplies(); }

    const TTransferEngine& Engine() const { return FEngine; }
    TTransferProgress Progress() const { return FEngine.Progress(); }
    bool Running() const { return FEngine.Running(); }

private:
    // The engine's events.
    void TransferSend(const std::string& command) override;
    void TransferProgress(const TTransferProgress& progress) override;
    void TransferFinished(const TTransferOutcome& outcome) override;
    TDatabaseKind TransferKindNow(TDatabaseKind started) override;
    // The owned link's events.
    void LinkOpened() override;
    void LinkReceived(const std::string& text) override;
    void LinkFailed(const TLinkFailure& failure) override;
    void LinkWrote(const std::string& bytes) override;

    void LogReceived(std::string_view text);
    void LogReply();

    TScaleTransferListener& FListener;
    TTransferEngine FEngine;
    TLink* FLink = nullptr;
    std::unique_ptr<TLink> FOwnedLink;
    TDatabaseKind FKind = TDatabaseKind::Product;

    SendLog* FLog = nullptr;
    std::string FLabel;
    // The reply line being logged: its first bytes, and how many more it had.
    std::string FReplyShown;
    std::size_t FReplyMore = 0;
    // A scale answers a command once; lines beyond a few are a flood, counted, not logged.
    int FRepliesSinceCommand = 0;
    std::uint64_t FRepliesNotLogged = 0;

    TRecorder* FRecorder = nullptr;
    std::unique_ptr<TRecorder> FOwnRecorder;
    std::string FTarget, FName;
    TRecording FRecording;
};

} // namespace fleet
