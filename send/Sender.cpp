#include "Sender.h"

#include "Bytes.h"
#include "Records.h"
#include "links/ethernet/UdpShare.h"
#include "platform/Signals.h"
#include "transfer/TransferEngine.h"

#include <QDateTime>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <optional>

namespace sendcmd {

SendLog::SendLog(const std::string& path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "a");
    if (!file_) throw UsageError("cannot write the log " + path);
}

SendLog::~SendLog() {
    if (file_) std::fclose(file_);
}

void SendLog::Write(const std::string& target, const char* what, const std::string& text) {
    if (!file_) return;
    const std::string stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
    std::fprintf(file_, "%s %s %s %s\n", stamp.c_str(), target.c_str(), what, text.c_str());
    std::fflush(file_); // a run that is killed still leaves what it did
}

// What a target's link tells goes to its transfer and the log.
struct Sender::TargetRun : TLinkListener {
    void LinkOpened() override;
    void LinkReceived(const std::string& text) override;
    void LinkFailed(const TLinkFailure& failure) override;
    void LinkWrote(const std::string& bytes) override;

    Sender* sender = nullptr;
    std::size_t index = 0;
    Target target;
    std::string label;                         // names the target in the log
    std::optional<fleet::TRecording> recorded; // in the history, once begun
    std::unique_ptr<TLink> link;
    std::unique_ptr<TTransferEngine> engine;
    QElapsedTimer clock;
    bool finished = false;
    // The reply line being logged: its first bytes, and how many more it had.
    std::string replyShown;
    std::size_t replyMore = 0;
    // A scale answers a command once; lines beyond a few are a flood, counted, not logged.
    int repliesSinceCommand = 0;
    std::uint64_t repliesNotLogged = 0;
};

namespace {

// Reply lines logged after one command; a scale sends one.
constexpr int kRepliesLogged = 20;

// The target as the log names it: its text, and its name quoted when it has one (a name
// may hold blanks; it holds no control character).
std::string LogLabel(const Target& t) {
    if (t.name.empty()) return t.text;
    std::string label = t.text + " \"";
    for (char c : t.name) {
        if (c == '"' || c == '\\') label += '\\';
        label += c;
    }
    return label + "\"";
}

scales::TransferOutcome HistoryOutcome(TargetResult::Outcome outcome) {
    switch (outcome) {
    case TargetResult::Outcome::Sent:
        return scales::TransferOutcome::Sent;
    case TargetResult::Outcome::Stopped:
        return scales::TransferOutcome::Stopped;
    case TargetResult::Outcome::Failed:
        break;
    }
    return scales::TransferOutcome::Failed;
}

} // namespace

Sender::Sender(const SendOptions& options, std::vector<Target> targets,
               std::shared_ptr<const Records> records, const LinkSettings& settings, SendLog& log)
    : options_(options), records_(std::move(records)), settings_(settings), log_(log),
      context_(std::make_unique<QObject>()) {
    TTransferOptions engineOptions;
    engineOptions.ReplyTimeoutMs = std::max(1, static_cast<int>(std::lround(options_.timeoutSeconds * 1000)));
    engineOptions.RetryLimit = options_.retries;
    for (auto& t : targets) {
        auto run = std::make_unique<TargetRun>();
        run->sender = this;
        run->index = runs_.size();
        run->target = std::move(t);
        run->label = LogLabel(run->target);
        run->engine = std::make_unique<TTransferEngine>(engineOptions);
        run->engine->SetRows(records_.get());
        TargetResult result;
        result.target = run->target.text;
        result.name = run->target.name;
        result.rows = records_->Count();
        results_.push_back(result);
        runs_.push_back(std::move(run));
    }
}

Sender::~Sender() {
    for (auto& run : runs_) {
        run->engine->Stop();
        if (run->link) run->link->Close();
    }
}

void Sender::EndRecord(TargetRun& run) {
    if (!recorder_) return;
    const TargetResult& r = results_[run.index];
    TTransferProgress progress;
    progress.Acknowledged = r.acknowledged;
    progress.CommandsSent = static_cast<std::uint64_t>(r.commands);
    progress.Resends = static_cast<std::uint64_t>(r.resends);
    // Stopped before its link was opened: recorded all the same, as not begun.
    fleet::TRecording recording =
        run.recorded ? *run.recorded : recorder_->NotBegun(run.target.text, run.target.name);
    recorder_->End(recording, fleet::EndOf(HistoryOutcome(r.outcome), r.row, progress, r.error));
    run.recorded.reset();
}

void Sender::Run() {
    QEventLoop loop;
    Start();
    if (running_ > 0) {
        quit_ = [&loop] { loop.quit(); };
        loop.exec();
        quit_ = nullptr;
    }
    for (auto& run : runs_) {
        if (run->link) run->link->Close();
        LogReply(*run);
        LogRepliesNotLogged(*run);
    }
    udp_.reset();
}

void Sender::Start() {
    starting_ = true;
    for (auto& owned : runs_) {
        TargetRun& run = *owned;
        if (stopped_) break;
        run.link = MakeLink(run.target, settings_, udp_);
        run.link->SetListener(&run);
        TLink& link = *run.link;
        run.engine->OnSend = [this, &link](const std::string& command) {
            // Once stopped, not one more byte goes out.
            if (stopped_ || platform::TerminationSignals::Received() != 0) return;
            link.Send(command);
        };
        run.engine->OnFinished = [this, &run](const TTransferOutcome& outcome) { Finished(run, outcome); };
        run.engine->OnProgress = [this, &run](const TTransferProgress& p) {
            if (recorder_ && run.recorded) recorder_->Progress(*run.recorded, p.Row(records_->Count()), p);
        };
        ++running_;
        // Recorded from the start of its run, so a scale that cannot be reached is in the history too.
        if (recorder_) run.recorded = recorder_->Begin(run.target.text, run.target.name);
        run.clock.start();
        link.Open();
    }
    starting_ = false;
    if (running_ == 0) AllFinished();
}

void Sender::TargetRun::LinkWrote(const std::string& bytes) {
    sender->LogReply(*this);
    sender->LogRepliesNotLogged(*this);
    repliesSinceCommand = 0;
    sender->log_.Write(label, ">", Escape(bytes));
}

void Sender::TargetRun::LinkReceived(const std::string& text) {
    sender->LogReceived(*this, text);
    engine->Feed(text);
}

void Sender::TargetRun::LinkOpened() {
    sender->log_.Write(label, "-", "link open");
    engine->Start(sender->options_.userDatabase ? TDatabaseKind::User : TDatabaseKind::Product);
}

void Sender::TargetRun::LinkFailed(const TLinkFailure& failure) {
    sender->results_[index].fault = failure.Code;
    sender->Finish(*this, TargetResult::Outcome::Failed, failure.Message);
}

void Sender::AllFinished() {
    if (notified_) return;
    notified_ = true;
    if (quit_) quit_();
    if (OnFinished) OnFinished();
}

void Sender::LogReceived(TargetRun& run, std::string_view text) {
    // One entry a line, however the link cut it, and at most kReplyShown bytes of each.
    while (!text.empty()) {
        const auto lf = text.find('\n');
        const std::string_view piece = text.substr(0, lf == std::string_view::npos ? lf : lf + 1);
        const std::size_t room = kReplyShown - std::min(kReplyShown, run.replyShown.size());
        run.replyShown.append(piece.substr(0, room));
        run.replyMore += piece.size() - std::min(room, piece.size());
        text.remove_prefix(piece.size());
        if (lf != std::string_view::npos) LogReply(run);
    }
}

void Sender::LogReply(TargetRun& run) {
    if (run.replyShown.empty()) return;
    if (++run.repliesSinceCommand <= kRepliesLogged)
        log_.Write(run.label, "<", Escape(run.replyShown) + MoreBytes(run.replyMore));
    else
        ++run.repliesNotLogged;
    run.replyShown.clear();
    run.replyMore = 0;
}

void Sender::LogRepliesNotLogged(TargetRun& run) {
    if (run.repliesNotLogged == 0) return;
    log_.Write(run.label, "<",
               "\u2026 " + std::to_string(run.repliesNotLogged) + " more reply lines not logged");
    run.repliesNotLogged = 0;
}

void Sender::Stop(const std::string& why) {
    stopped_ = true;
    for (auto& run : runs_)
        if (!run->finished) {
            if (!run->link) ++running_; // never opened: it stops all the same
            Finish(*run, TargetResult::Outcome::Stopped, why);
            if (run->link) run->link->Close();
        }
}

void Sender::Finish(TargetRun& run, TargetResult::Outcome outcome, const std::string& why,
                    const TTransferOutcome* ended) {
    if (run.finished) return;
    run.finished = true;
    TargetResult& r = results_[run.index];
    r.row = ended ? (ended->Done ? r.rows + 1 : ended->Row) : run.engine->Progress().Row(r.rows);
    run.engine->Stop();
    const TTransferProgress p = ended ? ended->Progress : run.engine->Progress();
    r.outcome = outcome;
    r.acknowledged = p.Acknowledged;
    r.commands = static_cast<int>(p.CommandsSent);
    r.resends = static_cast<int>(p.Resends);
    r.seconds = run.clock.isValid() ? static_cast<double>(run.clock.elapsed()) / 1000.0 : 0;
    r.error = why;
    if (!udpPortNote_.empty() && outcome == TargetResult::Outcome::Failed &&
        (r.fault == TLinkFault::UdpPortBusy || r.fault == TLinkFault::UdpPortDenied ||
         r.fault == TLinkFault::UdpPortFailed))
        r.error = udpPortNote_;
    LogReply(run);
    LogRepliesNotLogged(run);
    log_.Write(run.label, "-", outcome == TargetResult::Outcome::Sent ? "sent" : why);
    EndRecord(run);
    // Not closed from inside the link's own event; the loop closes it next.
    if (TLink* link = run.link.get()) QTimer::singleShot(0, context_.get(), [link] { link->Close(); });
    if (--running_ == 0 && !starting_) AllFinished();
}

void Sender::Finished(TargetRun& run, const TTransferOutcome& outcome) {
    Finish(run, outcome.Done ? TargetResult::Outcome::Sent : TargetResult::Outcome::Failed,
           fleet::FaultWords(outcome, options_.timeoutSeconds), &outcome);
}

std::vector<Sender::Status> Sender::Statuses() const {
    std::vector<Status> out;
    for (const auto& run : runs_) {
        Status s;
        const TargetResult& r = results_[run->index];
        s.finished = run->finished;
        s.sent = run->finished && r.outcome == TargetResult::Outcome::Sent;
        s.started = !run->finished && run->engine->Running();
        s.rows = r.rows;
        s.acknowledged = run->finished ? r.acknowledged : run->engine->Progress().Acknowledged;
        s.seconds = run->clock.isValid() ? static_cast<double>(run->clock.elapsed()) / 1000.0 : 0;
        out.push_back(s);
    }
    return out;
}

} // namespace sendcmd
