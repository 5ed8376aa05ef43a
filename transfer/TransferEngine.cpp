#include "TransferEngine.h"

#include <algorithm>

namespace {

// Leading and trailing characters of code 32 or less do not belong to a reply.
std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32)
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32)
        --e;
    return s.substr(b, e - b);
}

} // namespace

TTransferEngine::TTransferEngine(const TTransferOptions& options, transfer::TEngineClock& clock)
    : FOptions(options), FTick(clock.NewTimer(options.ExactTick)), FReplyTimer(clock.NewTimer(false)) {
    FTick->OnTimeout = [this] { Tick(); };
    FReplyTimer->OnTimeout = [this] { ReplyTimedOut(); };
}

TTransferEngine::~TTransferEngine() {
    FTick->Stop();
    FReplyTimer->Stop();
}

int TTransferProgress::Row(int rows) const {
    switch (Phase) {
    case TTransferPhase::Records:
        return std::min(Next, rows + 1);
    case TTransferPhase::Ending:
    case TTransferPhase::Ended:
        return rows + 1;
    case TTransferPhase::Idle:
    case TTransferPhase::Starting:
        break;
    }
    return 0;
}

std::int32_t RowIndexCode(const TTransferProgress& p) {
    switch (p.Phase) {
    case TTransferPhase::Idle:
        return -3;
    case TTransferPhase::Starting:
        return 0;
    case TTransferPhase::Records:
        return p.Next;
    case TTransferPhase::Ending:
        return -1;
    case TTransferPhase::Ended:
        return -2;
    }
    return -3;
}

int TTransferEngine::Rows() const {
    return FRows ? FRows->RowCount() : 0;
}

void TTransferEngine::Start(TDatabaseKind kind) {
    ++FStarts;
    Reset();
    // Leftovers without a line end would spoil the start acknowledgement.
    FReply.clear();
    FKind = kind;
    FRowIndex = 0;
    FSendFailed = false;
    FAcknowledged = 0;
    FCommandsSent = 0;
    FResends = 0;
    FReplies = 0;
    FLastRows = Rows();
    Report();
    Send(protocol::StartCommand(kind));
}

void TTransferEngine::Stop() {
    Reset();
    Report();
}

void TTransferEngine::Reset() {
    // A tick still pending from an earlier transfer must not cut the 100 ms
    // after the coming start acknowledgement short.
    FTick->Stop();
    FTickNow = false;
    FReplyTimer->Stop();
    FRowIndex = kIdle;
    FAwaiting = false;
    FCopies = 0;
    FOwed = 0;
    FLastCommand.clear();
    FLastWrong.clear();
    FTries = 0;
    FFailedRow = 0;
}

void TTransferEngine::Send(const std::string& command) {
    // A command sent while the one before is still unacknowledged repeats it.
    if (FAwaiting) {
        ++FResends;
        ++FTries;
    } else {
        FTries = 1;
    }
    FAwaiting = true;
    ++FCopies;
    FLastCommand = command;
    ++FCommandsSent;
    if (FOptions.ReplyTimeoutMs > 0) FReplyTimer->Start(FOptions.ReplyTimeoutMs);
    if (FListener) FListener->TransferSend(command);
}

void TTransferEngine::Feed(const std::string& text) {
    struct Feeding {
        int& depth;
        explicit Feeding(int& d) : depth(d) { ++depth; }
        ~Feeding() { --depth; }
        Feeding(const Feeding&) = delete;
        Feeding& operator=(const Feeding&) = delete;
    } feeding(FFeeding);
    FeedText(text);
    // Pace 0: every line of this text is matched (a second reply in it answers no copy), so
    // the next command may go out. Still counted as feeding: a reply fed back from inside
    // the send is matched here, by this loop, not by a call within a call.
    if (FFeeding == 1)
        while (FTickNow)
            Tick();
}

void TTransferEngine::FeedText(const std::string& text) {
    FReply += text;
    if (FOptions.StrictReplies) {
        FeedLines();
        return;
    }
    if (FReply.find('\n') == std::string::npos) {
        // A peer that never ends its line must not grow the buffer forever.
        if (FReply.size() > MaxReplyBuffer) FReply.clear();
        return;
    }
    const std::string reply = Trim(FReply);
    FReply.clear();
    Reply(reply);
}

// Each LF ends one reply; what follows the last one waits for its own LF.
void TTransferEngine::FeedLines() {
    std::string text;
    text.swap(FReply);
    const std::uint64_t starts = FStarts;
    std::size_t start = 0;
    for (std::size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1) {
        Reply(Trim(text.substr(start, lf - start)));
        // A transfer begun from the outcome's handler starts with an empty buffer.
        if (FStarts != starts) return;
    }
    FReply = text.substr(start);
    // A peer that never ends its line must not grow the buffer forever.
    if (FReply.size() > MaxReplyBuffer) FReply.clear();
}

void TTransferEngine::Reply(const std::string& reply) {
    ++FReplies;
    if (FOptions.StrictReplies && FRowIndex != kIdle && FOwed == 0 && FCopies == 0) {
        // Every copy sent has had its answer: this one answers nothing.
        FLastWrong = reply;
        Fail(TTransferFault::TooManyReplies);
        return;
    }
    if (FOwed > 0) {
        // The answer to a copy of a command already acknowledged: whatever it
        // says, it is not the answer to the command out now.
        --FOwed;
        RestartReplyTimer();
    } else if (FAwaiting) {
        // One acknowledgement per command: once a reply has matched, further
        // replies match nothing until the next command goes out. Without
        // StrictReplies a reply with no copy unanswered (after a refusal, before
        // the command goes out again) is still matched, as the window does.
        if (FCopies > 0) --FCopies;
        bool match;
        if (FRowIndex == -1) {
            match = reply == protocol::Ended;
        } else if (FRowIndex == 0) {
            match = reply == protocol::StartReply(KindNow());
        } else {
            match = reply == protocol::RecordTaken;
        }
        if (match) {
            // A late answer to an earlier copy acknowledges the same command;
            // the later copies' answers are still to come.
            FReplyTimer->Stop();
            FAwaiting = false;
            FOwed = FCopies;
            FCopies = 0;
            if (FRowIndex == -1) {
                FRowIndex = -2;
            } else if (FRowIndex >= 0) {
                if (FRowIndex >= 1) ++FAcknowledged;
                FRowIndex += 1;
            }
        } else {
            FLastWrong = reply;
            if (FCopies > 0) {
                // A later copy is still unanswered: its answer decides.
                RestartReplyTimer();
            } else {
                FReplyTimer->Stop();
                if (FOptions.RetryLimit >= 0 && FTries > FOptions.RetryLimit) {
                    Fail(TTransferFault::WrongReply);
                    return;
                }
            }
        }
    }
    ArmTick();
    Report();
}

// The scale is working through earlier copies: the time-out counts from its
// latest answer while a copy of the current command waits for one.
void TTransferEngine::RestartReplyTimer() {
    if (FAwaiting && FCopies > 0 && FOptions.ReplyTimeoutMs > 0) FReplyTimer->Start(FOptions.ReplyTimeoutMs);
}

// Started unless it is already running: a second reply must not push the
// pending tick back.
void TTransferEngine::ArmTick() {
    if (FOptions.TickMs == 0 && FFeeding > 0) {
        FTickNow = true;
        return;
    }
    if (!FTick->Active()) FTick->Start(FOptions.TickMs);
}

void TTransferEngine::ReplyTimedOut() {
    // After a refusal no copy is out: the tick sends the command again.
    if (!FAwaiting || FCopies == 0) return;
    FLastWrong.clear();
    if (FOptions.RetryLimit >= 0 && FTries > FOptions.RetryLimit) {
        Fail(TTransferFault::NoReply);
        return;
    }
    Send(FLastCommand);
    Report();
}

void TTransferEngine::Tick() {
    FTickNow = false;
    FTick->Stop();
    // A copy still unanswered: its answer or its time-out decides, never a third copy.
    if (FAwaiting && FCopies > 0) return;
    const std::int32_t k = FRowIndex;
    const int rows = Rows();
    FLastRows = rows;
    // With a retry limit the start and end commands are repeated too.
    if (FOptions.RetryLimit >= 0 && FAwaiting && (k == 0 || k == -1)) {
        Send(FLastCommand);
    } else if (k >= 1 && k <= rows) {
        const std::string record = FRows ? FRows->RecordText(k - 1) : std::string();
        if (!record.empty()) {
            Send(protocol::RecordCommand(record));
        } else {
            FRowIndex = -1;
            FSendFailed = true;
            FFailedRow = k;
            Send(protocol::EndCommand());
        }
    } else if (k == rows + 1) {
        FRowIndex = -1;
        Send(protocol::EndCommand());
    } else if (k == -2) {
        Finish();
        return;
    } else {
        return;
    }
    Report();
}

int TTransferEngine::FailedRow() const {
    if (FRowIndex == 0) return 0;
    if (FRowIndex == -1 || FRowIndex == -2) return FLastRows + 1;
    return FRowIndex;
}

void TTransferEngine::Finish() {
    TTransferOutcome outcome;
    outcome.Done = !FSendFailed;
    outcome.Rows = FLastRows;
    outcome.Row = FLastRows + 1;
    if (FSendFailed) {
        outcome.Fault = TTransferFault::EmptyRecord;
        outcome.Row = FFailedRow;
        outcome.Command = std::string(protocol::RecordPrefix);
        outcome.Tries = 1;
    }
    Reset();
    outcome.Progress = Progress();
    Report();
    if (FListener) FListener->TransferFinished(outcome);
}

void TTransferEngine::Fail(TTransferFault fault) {
    TTransferOutcome outcome;
    outcome.Fault = fault;
    outcome.Rows = FLastRows;
    outcome.Row = FailedRow();
    outcome.Command = FLastCommand;
    outcome.Reply = fault == TTransferFault::NoReply ? std::string() : FLastWrong;
    outcome.Tries = FTries;
    const TTransferProgress progress = Progress();
    Reset();
    outcome.Progress = progress;
    outcome.Progress.Phase = TTransferPhase::Idle;
    Report();
    if (FListener) FListener->TransferFinished(outcome);
}

TTransferProgress TTransferEngine::Progress() const {
    TTransferProgress p;
    if (FRowIndex == kIdle)
        p.Phase = TTransferPhase::Idle;
    else if (FRowIndex == 0)
        p.Phase = TTransferPhase::Starting;
    else if (FRowIndex >= 1)
        p.Phase = TTransferPhase::Records;
    else if (FRowIndex == -1)
        p.Phase = TTransferPhase::Ending;
    else
        p.Phase = TTransferPhase::Ended;
    p.Next = FRowIndex >= 1 ? FRowIndex : 0;
    p.Rows = FLastRows;
    p.Acknowledged = FAcknowledged;
    p.CommandsSent = FCommandsSent;
    p.Resends = FResends;
    p.Replies = FReplies;
    p.SendFailed = FSendFailed;
    return p;
}

void TTransferEngine::Report() {
    if (FListener) FListener->TransferProgress(Progress());
}

TDatabaseKind TTransferEngine::KindNow() const {
    return FListener ? FListener->TransferKindNow(FKind) : FKind;
}
