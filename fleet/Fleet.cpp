#include "Fleet.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "fleet/Log.h"
#include "fleet/Records.h"
#include "fleet/ScaleTransfer.h"
#include "links/ethernet/UdpShare.h"
#include "platform/Signals.h"
#include "scales/ScaleLock.h"

namespace fleet {

// One target: its transfer, and what the transfer tells goes to the fleet.
struct TFleet::TargetRun : TScaleTransferListener {
    TargetRun(TFleet& owner, std::size_t at, Target t, const TTransferOptions& options)
        : fleet(owner), index(at), target(std::move(t)), transfer(options, owner.records_.get(), *this) {}

    void TransferEnded(const TTransferOutcome& outcome) override {
        fleet.Finish(*this, outcome.Done ? TargetResult::Outcome::Sent : TargetResult::Outcome::Failed,
                     FaultWords(outcome, fleet.options_.timeoutSeconds), &outcome);
    }
    void TransferLinkFailed(const TLinkFailure& failure) override {
        fleet.results_[index].fault = failure.Code;
        fleet.Finish(*this, TargetResult::Outcome::Failed, LinkFaultWords(failure, transfer.Running()));
    }
    bool TransferMaySend() override {
        // Once stopped, not one more byte goes out.
        return !fleet.stopped_ && platform::TerminationSignals::Received() == 0;
    }

    TFleet& fleet;
    std::size_t index = 0;
    Target target;
    // The scale's, from before its link opens until the link is closed; it goes
    // after the transfer, which closes the link.
    scales::TScaleLock lock;
    TScaleTransfer transfer;
    bool counted = false; // among the fleet's running targets
    bool waiting = false; // for another sender to let the scale go
    bool opened = false;  // its link was made and opening
    QElapsedTimer clock;
    bool finished = false;
};

namespace {

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

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", s);
    return buf;
}

} // namespace

TFleet::TFleet(const FleetOptions& options, std::vector<Target> targets,
               std::shared_ptr<const Records> records, const LinkSettings& settings, SendLog& log)
    : options_(options), records_(std::move(records)), settings_(settings), log_(log),
      context_(std::make_unique<QObject>()) {
    TTransferOptions engineOptions;
    engineOptions.ReplyTimeoutMs = std::max(1, static_cast<int>(std::lround(options_.timeoutSeconds * 1000)));
    engineOptions.RetryLimit = options_.retries;
    // Each line is one reply, and a reply answers only a copy still unanswered.
    engineOptions.StrictReplies = true;
    for (auto& t : targets) {
        engineOptions.TickMs = t.pace.value_or(options_.paceMs);
        auto run = std::make_unique<TargetRun>(*this, runs_.size(), std::move(t), engineOptions);
        run->transfer.LogTo(log_, LogLabel(run->target));
        TargetResult result;
        result.target = run->target.text;
        result.name = run->target.name;
        result.rows = records_->Count();
        result.paceMs = engineOptions.TickMs;
        results_.push_back(result);
        runs_.push_back(std::move(run));
    }
}

TFleet::~TFleet() {
    // The transfers stop and close their links as they go.
    runs_.clear();
}

void TFleet::Run() {
    QEventLoop loop;
    Start();
    if (running_ > 0) {
        quit_ = [&loop] { loop.quit(); };
        loop.exec();
        quit_ = nullptr;
    }
    for (auto& run : runs_) {
        run->transfer.Close();
        run->transfer.FlushLog();
        run->lock.Release();
    }
    udp_.reset();
}

void TFleet::Start() {
    starting_ = true;
    const std::string program = QCoreApplication::applicationName().toStdString();
    const int waitMs = static_cast<int>(std::lround(std::max(0.0, options_.waitBusySeconds) * 1000));
    for (auto& owned : runs_) {
        TargetRun& run = *owned;
        if (stopped_) break;
        run.counted = true;
        ++running_;
        // One sender per scale, across programs: two tables must never interleave on it.
        const std::string key = scales::LockKey(run.target);
        const std::string refusal = run.lock.TryTake(key, program);
        if (refusal.empty()) {
            OpenLink(run);
        } else if (waitMs == 0 || !scales::HeldByAnother(refusal)) {
            Refuse(run, refusal);
        } else {
            run.waiting = true;
            run.transfer.Log("-", "waiting up to " + Seconds(options_.waitBusySeconds) + " s: " + refusal);
            TargetRun* r = &run;
            run.lock.Take(key, program, waitMs, [this, r](const std::string& why) {
                r->waiting = false;
                if (why.empty())
                    OpenLink(*r);
                else
                    Refuse(*r, why);
            });
        }
    }
    starting_ = false;
    if (running_ == 0) AllFinished();
}

void TFleet::OpenLink(TargetRun& run) {
    const TDatabaseKind kind = options_.userDatabase ? TDatabaseKind::User : TDatabaseKind::Product;
    run.transfer.OwnLink(MakeLink(run.target, settings_, udp_), kind);
    run.opened = true;
    // Recorded from the start of its run, so a scale that cannot be reached is in the history too.
    if (recorder_) {
        run.transfer.RecordIn(*recorder_, run.target.text, run.target.name);
        run.transfer.BeginRecord();
    }
    run.clock.start();
    run.transfer.Open();
}

void TFleet::Refuse(TargetRun& run, const std::string& why) {
    // Its link never opened: recorded in one write, and the scale keeps the table it held.
    if (recorder_) run.transfer.RecordIn(*recorder_, run.target.text, run.target.name);
    Finish(run, TargetResult::Outcome::Failed, why);
}

void TFleet::AllFinished() {
    if (notified_) return;
    notified_ = true;
    if (quit_) quit_();
    if (OnFinished) OnFinished();
}

void TFleet::Stop(const std::string& why) {
    stopped_ = true;
    for (auto& run : runs_)
        if (!run->finished) {
            if (!run->counted) {
                run->counted = true;
                ++running_;
            }
            // Never opened (not begun, or waiting for its scale): it stops all the same, recorded in one
            // write.
            if (!run->opened && recorder_)
                run->transfer.RecordIn(*recorder_, run->target.text, run->target.name);
            Finish(*run, TargetResult::Outcome::Stopped, why);
            run->transfer.Close();
        }
}

void TFleet::Finish(TargetRun& run, TargetResult::Outcome outcome, const std::string& why,
                    const TTransferOutcome* ended) {
    if (run.finished) return;
    run.finished = true;
    TargetResult& r = results_[run.index];
    r.row = run.transfer.EndRow(ended, r.rows);
    run.transfer.Stop();
    const TTransferProgress p = ended ? ended->Progress : run.transfer.Progress();
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
    run.transfer.FlushLog();
    run.transfer.Log("-", outcome == TargetResult::Outcome::Sent ? "sent" : why);
    run.transfer.EndRecord(HistoryOutcome(r.outcome), r.row, p, r.error);
    // Not closed from inside the link's own event; the loop closes it next. The scale
    // is let go once nothing more of this transfer can reach it.
    if (TLink* link = run.transfer.Link()) {
        scales::TScaleLock* lock = &run.lock;
        QTimer::singleShot(0, context_.get(), [link, lock] {
            link->Close();
            lock->Release();
        });
    } else {
        run.lock.Release();
    }
    if (--running_ == 0 && !starting_) AllFinished();
}

std::vector<TFleet::Status> TFleet::Statuses() const {
    std::vector<Status> out;
    for (const auto& run : runs_) {
        Status s;
        const TargetResult& r = results_[run->index];
        s.finished = run->finished;
        s.sent = run->finished && r.outcome == TargetResult::Outcome::Sent;
        s.started = !run->finished && run->transfer.Running();
        s.waiting = !run->finished && run->waiting;
        s.rows = r.rows;
        s.acknowledged = run->finished ? r.acknowledged : run->transfer.Progress().Acknowledged;
        s.seconds = run->clock.isValid() ? static_cast<double>(run->clock.elapsed()) / 1000.0 : 0;
        out.push_back(s);
    }
    return out;
}

} // namespace fleet
