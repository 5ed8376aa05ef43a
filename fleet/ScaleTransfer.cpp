#include "ScaleTransfer.h"

#include <algorithm>

#include "fleet/Bytes.h"
#include "fleet/Log.h"

namespace fleet {

namespace {

// Reply lines logged after one command; a scale sends one.
constexpr int kRepliesLogged = 20;

} // namespace

TScaleTransfer::TScaleTransfer(const TTransferOptions& options, const TTransferRows* rows,
                               TScaleTransferListener& listener, transfer::TEngineClock& clock)
    : FListener(listener), FEngine(options, clock) {
    FEngine.SetRows(rows);
    FEngine.SetListener(this);
}

TScaleTransfer::~TScaleTransfer() {
    FEngine.SetListener(nullptr);
    FEngine.Stop();
    if (FOwnedLink) {
        FOwnedLink->SetListener(nullptr);
        FOwnedLink->Close();
    }
}

void TScaleTransfer::OwnLink(std::unique_ptr<TLink> link, TDatabaseKind kind) {
    FOwnedLink = std::move(link);
    FLink = FOwnedLink.get();
    FKind = kind;
    if (FLink) FLink->SetListener(this);
}

void TScaleTransfer::Open() {
    if (FOwnedLink) FOwnedLink->Open();
}

void TScaleTransfer::Close() {
    if (FOwnedLink) FOwnedLink->Close();
}

void TScaleTransfer::TransferSend(const std::string& command) {
    // Once the driver has stopped, not one more byte goes out.
    if (!FListener.TransferMaySend()) return;
    // The link frames it; one that is not open sends nothing.
    if (FLink) FLink->Send(command);
}

void TScaleTransfer::TransferProgress(const TTransferProgress& progress) {
    // How far it got, at most once a second, so a sender that dies leaves its row.
    if (FRecorder) FRecorder->Progress(FRecording, progress.Row(progress.Rows), progress);
    FListener.TransferMoved(progress);
}

void TScaleTransfer::TransferFinished(const TTransferOutcome& outcome) {
    FListener.TransferEnded(outcome);
}

TDatabaseKind TScaleTransfer::TransferKindNow(TDatabaseKind started) {
    return FListener.TransferKindNow(started);
}

void TScaleTransfer::Start(TDatabaseKind kind) {
    // A late answer to a stopped transfer would be taken for this one's.
    if (FLink) FLink->DiscardInput();
    FEngine.Start(kind);
}

void TScaleTransfer::LinkOpened() {
    Log("-", "link open");
    Start(FKind);
}

void TScaleTransfer::LinkReceived(const std::string& text) {
    LogReceived(text);
    FEngine.Feed(text);
}

void TScaleTransfer::LinkFailed(const TLinkFailure& failure) {
    FListener.TransferLinkFailed(failure);
}

void TScaleTransfer::LinkWrote(const std::string& bytes) {
    if (!FLog || !FLog->Enabled()) return;
    FlushLog();
    FRepliesSinceCommand = 0;
    Log(">", Escape(bytes));
}

void TScaleTransfer::LogTo(SendLog& log, std::string label) {
    FLog = &log;
    FLabel = std::move(label);
}

void TScaleTransfer::Log(const char* what, const std::string& text) {
    if (FLog) FLog->Write(FLabel, what, text);
}

void TScaleTransfer::LogReceived(std::string_view text) {
    if (!FLog || !FLog->Enabled()) return;
    // One entry a line, however the link cut it, and at most kReplyShown bytes of each.
    while (!text.empty()) {
        const auto lf = text.find('\n');
        const std::string_view piece = text.substr(0, lf == std::string_view::npos ? lf : lf + 1);
        const std::size_t room = kReplyShown - std::min(kReplyShown, FReplyShown.size());
        FReplyShown.append(piece.substr(0, room));
        FReplyMore += piece.size() - std::min(room, piece.size());
        text.remove_prefix(piece.size());
        if (lf != std::string_view::npos) LogReply();
    }
}

void TScaleTransfer::LogReply() {
    if (FReplyShown.empty()) return;
    if (++FRepliesSinceCommand <= kRepliesLogged)
        Log("<", Escape(FReplyShown) + MoreBytes(FReplyMore));
    else
        ++FRepliesNotLogged;
    FReplyShown.clear();
    FReplyMore = 0;
}

void TScaleTransfer::FlushLog() {
    LogReply();
    if (FRepliesNotLogged == 0) return;
    Log("<", "\u2026 " + std::to_string(FRepliesNotLogged) + " more reply lines not logged");
    FRepliesNotLogged = 0;
}

void TScaleTransfer::RecordIn(TRecorder& recorder, const std::string& target, const std::string& name) {
    FRecorder = &recorder;
    FTarget = target;
    FName = name;
    FRecording = recorder.NotBegun(target, name);
}

void TScaleTransfer::RecordIn(std::unique_ptr<TRecorder> recorder, const std::string& target) {
    FOwnRecorder = std::move(recorder);
    if (FOwnRecorder) RecordIn(*FOwnRecorder, target);
}

int TScaleTransfer::EndRow(const TTransferOutcome* finished, int rows) const {
    if (finished) return finished->Done ? rows + 1 : finished->Row;
    return FEngine.Progress().Row(rows);
}

void TScaleTransfer::BeginRecord() {
    if (FRecorder) FRecording = FRecorder->Begin(FTarget, FName);
}

void TScaleTransfer::EndRecord(scales::TransferOutcome outcome, int row, const TTransferProgress& progress,
                               const std::string& message) {
    if (!FRecorder) return;
    FRecorder->End(FRecording, EndOf(outcome, row, progress, message));
    FRecorder = nullptr;
    FOwnRecorder.reset();
}

} // namespace fleet
