#include "Command.h"

#include "Cli.h"
#include "Progress.h"
#include "Report.h"
#include "Stale.h"
#include "Status.h"
#include "fleet/Bytes.h"
#include "fleet/Fleet.h"
#include "fleet/Log.h"
#include "fleet/Records.h"
#include "scales/History.h"
#include "scales/ScaleList.h"
#include "transfer/DatabaseFile.h"
#include "transfer/TransferEngine.h"

#include "platform/AtomicFile.h"
#include "platform/Paths.h"
#include "platform/Signals.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <ostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sendcmd {

using fleet::Escape;
using fleet::LinkSettings;
using fleet::Recoder;
using fleet::Records;
using fleet::SendLog;

namespace {

constexpr const char* kProgram = "scaledb-send";
// The exit status of a run whose transfers the history did not all take.
constexpr int kUnrecorded = 3;

// The commands one transfer sends, from the engine itself, against a scale that
// acknowledges every command at once; each handed to `out` as it is made, so
// none is kept. The engine's tick is run by hand: no time passes.
void ForEachCommand(const Records& records, bool user, const std::function<void(const std::string&)>& out) {
    // Hands each command on and keeps the last for the acknowledgement.
    struct Scale : TTransferListener {
        const std::function<void(const std::string&)>& out;
        std::string last;
        bool finished = false;
        explicit Scale(const std::function<void(const std::string&)>& o) : out(o) {}
        void TransferSend(const std::string& c) override {
            out(c);
            last = c;
        }
        void TransferFinished(const TTransferOutcome&) override { finished = true; }
    } scale(out);
    transfer::TStepClock clock;
    TTransferEngine engine({}, clock);
    engine.SetRows(&records);
    engine.SetListener(&scale);
    engine.Start(user ? TDatabaseKind::User : TDatabaseKind::Product);
    while (!scale.finished && !scale.last.empty()) {
        const std::string command = std::exchange(scale.last, {});
        engine.Feed(std::string(protocol::Acknowledgement(command)) + "\r\n");
        clock.FireNext(); // the tick
    }
}

void DryRun(const std::vector<Target>& targets, const Records& records, bool user, int paceMs,
            std::ostream& out) {
    // Serial and TCP share their framing; UDP has its own, and its start datagram. Each
    // group says the pause its targets take after every acknowledgement.
    std::map<std::pair<bool, int>, std::vector<const Target*>> byFraming;
    for (const Target& t : targets)
        byFraming[{t.kind == Target::Kind::Udp, t.pace.value_or(paceMs)}].push_back(&t);
    for (const auto& [key, group] : byFraming) {
        const bool udp = key.first;
        out << "#";
        for (const Target* t : group)
            out << " " << t->text;
        out << "\n# pace " << key.second << " ms\n";
        if (udp) out << Escape(UdpStartSignal()) << "\n";
        ForEachCommand(records, user, [&](const std::string& c) {
            out << Escape(udp ? DatagramFrame(c) : LineFrame(c)) << "\n";
        });
    }
}

std::string InterruptedBy(int sig) {
    switch (sig) {
    case SIGINT:
        return "interrupted by SIGINT";
    case SIGTERM:
        return "interrupted by SIGTERM";
    case SIGHUP:
        return "interrupted by SIGHUP";
    default:
        return "interrupted by a signal";
    }
}

// The first error writing standard output, caught while its errno is still its own.
int gOutputError = 0;

void NoteOutput() {
    std::cout.flush();
    if (gOutputError == 0 && (!std::cout.good() || std::ferror(stdout)))
        gOutputError = errno != 0 ? errno : EIO;
}

int Fail(const std::string& message, int status) {
    std::cerr << kProgram << ": " << message << "\n";
    return status;
}

// Bad usage: every line of the message (a list reports each bad line) names the program.
int Usage(const std::string& message) {
    std::size_t start = 0;
    for (std::size_t lf; (lf = message.find('\n', start)) != std::string::npos; start = lf + 1)
        std::cerr << kProgram << ": " << message.substr(start, lf - start) << "\n";
    std::cerr << kProgram << ": " << message.substr(start) << "\nTry '" << kProgram << " --help'.\n";
    return 2;
}

// Writes what every scale in the history holds to `path`, replaced in one step: the
// exporter may read it at any moment. A history that cannot be read, or that did not
// take every record (`recorded` false), is written as such (scaledb_history_ok 0), so
// the exporter sees it rather than an old file. False, said on standard error, when
// the file cannot be written.
bool WriteMetrics(scales::History& history, const std::string& path, bool recorded) {
    std::vector<scales::Holding> holdings;
    if (history.State() == scales::HistoryState::Open || history.State() == scales::HistoryState::ReadOnly)
        holdings = history.Holdings();
    const bool ok = recorded && history.State() != scales::HistoryState::Unavailable;
    try {
        platform::WriteFileAtomically(path, MetricsText(holdings, ok));
    } catch (const std::exception& e) {
        return Fail("--metrics: cannot write " + path + ": " + e.what(), 0) != 0;
    }
    return true;
}

// --status and --history: read the history, never create it.
int Report(const SendOptions& o) {
    const std::string path = scales::HistoryPath();
    struct stat st {};
    scales::History history;
    if (::stat(path.c_str(), &st) == 0) {
        history.Open(path);
    } else if (errno != ENOENT) {
        return Fail("history " + path + ": " + std::strerror(errno), 2);
    }
    auto unreadable = [&] {
        if (!o.metricsPath.empty()) WriteMetrics(history, o.metricsPath, false);
        return Fail(history.Error(), 2);
    };
    if (history.State() == scales::HistoryState::Unavailable) return unreadable();
    if (history.State() == scales::HistoryState::Closed)
        std::cerr << kProgram << ": no transfers recorded yet (" << path << ")\n";
    std::string out;
    if (o.mode == SendOptions::Mode::Status) {
        std::vector<std::string> notes;
        const std::vector<scales::Holding> holdings = ScaleHoldings(history, notes);
        for (const std::string& n : notes)
            std::cerr << kProgram << ": " << n << "\n";
        out = o.json ? StatusJson(holdings) : StatusLines(holdings);
    } else {
        const auto records = TransfersOf(history, o.historyScale, o.limit);
        if (records.empty() && !o.historyScale.empty() && history.State() != scales::HistoryState::Closed)
            std::cerr << kProgram << ": no transfers to " << o.historyScale << " recorded\n";
        out = o.json ? HistoryJson(records) : HistoryLines(records);
    }
    if (history.State() == scales::HistoryState::Unavailable) return unreadable();
    std::cout << out;
    NoteOutput();
    if (!o.metricsPath.empty()) {
        if (history.State() == scales::HistoryState::Closed) {
            // Nothing recorded yet: the families without a sample, so the exporter sees no stale file.
            try {
                platform::WriteFileAtomically(o.metricsPath, MetricsText({}, true));
            } catch (const std::exception& e) {
                return Fail("--metrics: cannot write " + o.metricsPath + ": " + e.what(), 1);
            }
        } else if (!WriteMetrics(history, o.metricsPath, history.Error().empty())) {
            return 1;
        }
    }
    return 0;
}

// Every target holds open files while it runs; running out half-way fails targets with
// messages that hide why. Raises the soft limit when the hard one allows; else says so.
void EnsureOpenFiles(const std::vector<Target>& targets) {
    rlim_t needed = 32; // the program itself: standard streams, event loop, log, signal pipe
    bool udp = false;
    for (const Target& t : targets) {
        // Its scale's lock file, and its link's own.
        needed += 1 + (t.kind == Target::Kind::Serial ? 4 : t.kind == Target::Kind::Tcp ? 1 : 0);
        udp = udp || t.kind == Target::Kind::Udp;
    }
    if (udp) needed += 2; // one endpoint for all
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
        limit.rlim_cur >= needed)
        return;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed) {
        limit.rlim_cur = needed;
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) return;
    }
    throw UsageError(std::to_string(targets.size()) + " targets need about " + std::to_string(needed) +
                     " open files, more than the limit of " +
                     std::to_string(limit.rlim_max < needed ? limit.rlim_max : limit.rlim_cur) +
                     ": raise it (ulimit -n " + std::to_string(needed) +
                     "), or send to fewer targets at a time");
}

// The report is the point of the run: a standard output that cannot take it is a failure.
int CloseStandardOutput(int status) {
    NoteOutput();
    errno = 0;
    if (std::fflush(stdout) != 0 && gOutputError == 0) gOutputError = errno != 0 ? errno : EIO;
    errno = 0;
    if (std::fclose(stdout) != 0 && gOutputError == 0) gOutputError = errno != 0 ? errno : EIO;
    if (gOutputError == 0) return status;
    std::cerr << kProgram << ": cannot write to standard output: " << std::strerror(gOutputError) << "\n";
    return status == 0 ? 1 : status;
}

int Run(int argc, char** argv) {
    // Qt's own event loop rather than GLib's: one poll a command instead of two, and none of
    // GLib's locking, where hundreds of scales each wait for their next reply.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(kProgram);
    QCoreApplication::setApplicationVersion(SCALEDB_VERSION);

    SendOptions o;
    std::vector<Target> targets;
    std::shared_ptr<const Records> records;
    std::string settingsDir;
    scales::FileDigest digest;
    try {
        ParsedCommandLine parsed = ParseCommandLine(app.arguments());
        if (!parsed.options) {
            std::cout << parsed.output;
            NoteOutput();
            return parsed.exitStatus;
        }
        o = std::move(*parsed.options);
        if (o.mode != SendOptions::Mode::Send) return Report(o);
        // Where the window keeps config.xml and ComPortTest.ini; asked only when a target reads
        // them, since choosing the folder may create ~/.config/scaledb/.
        const bool serial = std::any_of(o.targets.begin(), o.targets.end(),
                                        [](const Target& t) { return t.kind == Target::Kind::Serial; });
        if (o.targets.empty() || serial) settingsDir = platform::SettingsDir();
        targets = o.targets.empty() ? std::vector<Target>{DefaultTarget(settingsDir)} : o.targets;

        std::unique_ptr<Recoder> recoder;
        if (o.encodingFrom) {
            try {
                recoder = std::make_unique<Recoder>(*o.encodingFrom, *o.encodingTo);
            } catch (const std::invalid_argument& e) {
                throw UsageError(std::string("--encoding: ") + e.what());
            }
        }
        auto table = std::make_shared<TableData>();
        try {
            SteadyTable steady = LoadSteadyTable(o.table);
            *table = std::move(steady.table);
            digest = steady.digest;
        } catch (const TableChanging& e) {
            return Fail(e.what(), kTryAgainStatus);
        } catch (const EInOutError& e) {
            throw UsageError("cannot read the table " + o.table + ": " +
                             (e.ErrorCode() > 0 ? std::strerror(e.ErrorCode()) : e.what()));
        }
        // Every record is checked before anything is sent: a bad character stops the run here.
        auto built = std::make_shared<Records>(std::move(table), std::move(recoder));
        built->Check(o.table, targets);
        records = std::move(built);
        // One scale under two names would get two transfers mixed into one table; a dry run
        // refuses them as the run would (looking names up connects to no scale).
        LookUpHosts(targets);
        sendcmd::RefuseDuplicates(targets);
    } catch (const UsageError& e) {
        return Usage(e.what());
    }

    if (o.dryRun) {
        DryRun(targets, *records, o.userDatabase, o.paceMs, std::cout);
        NoteOutput();
        return 0;
    }

    std::unique_ptr<SendLog> log;
    try {
        EnsureOpenFiles(targets);
        log = std::make_unique<SendLog>(o.logPath);
    } catch (const UsageError& e) {
        return Fail(e.what(), 2);
    }

    // The run is recorded, unless asked not to; a history that cannot be opened or written
    // is said once and changes nothing else.
    std::unique_ptr<scales::History> history;
    if (!o.noHistory || !o.metricsPath.empty()) {
        history = std::make_unique<scales::History>();
        if (!o.noHistory)
            history->OnError = [](const std::string& error) {
                const std::string tail = "transfers are not recorded";
                const bool said = error.size() >= tail.size() &&
                                  error.compare(error.size() - tail.size(), tail.size(), tail) == 0;
                std::cerr << kProgram << ": " << error << (said ? "" : "; " + tail) << "\n";
            };
        history->Open(scales::HistoryPath());
    }

    // SIGINT, SIGTERM and SIGHUP end the run: nothing more is sent, the report is still printed.
    fleet::TFleet* running = nullptr;
    platform::TerminationSignals stopSignals([&](int) {
        if (running) running->Stop(InterruptedBy(platform::TerminationSignals::Received()));
    });
    // A scale that closes its end must not kill the whole run.
    std::signal(SIGPIPE, SIG_IGN);
    LinkSettings settings;
    settings.settingsDir = settingsDir;
    settings.connectSeconds = o.timeoutSeconds * (o.retries + 1);
    const scales::TableKind kind = o.userDatabase ? scales::TableKind::User : scales::TableKind::Product;
    // --only-stale: a scale that holds this very table already gets nothing.
    StaleSplit split{targets, {}};
    if (o.onlyStale) split = SplitByHolding(*history, targets, digest, kind, records->Count());
    // Declared before the sender, which records through it until it goes.
    std::optional<fleet::TRecorder> recorder;
    if (history && !o.noHistory) {
        scales::TransferStart table;
        table.path = o.table;
        // The hash of the very bytes sent.
        table.size = digest.size;
        table.sha256 = digest.sha256;
        table.rows = records->Count();
        table.kind = kind;
        table.program = kProgram;
        // A scale named on the command line is recorded under the name the shop's list gives it.
        const bool unnamed =
            std::any_of(targets.begin(), targets.end(), [](const Target& t) { return t.name.empty(); });
        recorder.emplace(*history, table, unnamed ? fleet::TScaleNames::Listed() : fleet::TScaleNames());
    }
    fleet::TFleet sender(o, split.stale, records, settings, *log);
    running = &sender;
    if (recorder) {
        recorder->SameScales(targets);
        sender.RecordIn(*recorder);
    }
    std::unique_ptr<Progress> progress;
    if (!o.quiet && ::isatty(STDERR_FILENO)) progress = std::make_unique<Progress>(sender, split.stale);

    // A signal that came before the loop runs still stops the run.
    if (const int sig = platform::TerminationSignals::Received())
        sender.Stop(InterruptedBy(sig));
    else
        sender.Run();
    if (progress) progress->Clear();

    const std::vector<TargetResult> results = MergeResults(split, sender.Results());
    const int signal = platform::TerminationSignals::Received();
    // A transfer that was not recorded makes --status say what the scale no longer holds:
    // the run ends with a status of its own, whatever the scales did.
    const bool unrecorded = history && !o.noHistory && !history->Error().empty();
    int status = signal != 0 ? 128 + signal : unrecorded ? kUnrecorded : ExitStatus(results);
    // What the exporter is asked for was not written: the run did not do all it was told.
    if (!o.metricsPath.empty() && !WriteMetrics(*history, o.metricsPath, !unrecorded) && status == 0)
        status = 1;
    if (!o.quiet) {
        (o.json ? std::cerr : std::cout) << FinalLines(results) << std::flush;
        NoteOutput();
    } else {
        // Quiet: only the targets that did not get the table, as errors.
        std::vector<TargetResult> failed;
        for (const auto& r : results)
            if (r.outcome != TargetResult::Outcome::Sent) failed.push_back(r);
        std::cerr << FinalLines(failed) << std::flush;
    }
    if (o.json) std::cout << JsonReport(o.table, o.userDatabase, status, results) << std::flush;
    NoteOutput();
    return status;
}

} // namespace

int RunCommand(int argc, char** argv) {
    return CloseStandardOutput(Run(argc, argv));
}

} // namespace sendcmd
