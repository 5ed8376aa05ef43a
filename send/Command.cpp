#include "Command.h"

#include "Bytes.h"
#include "Cli.h"
#include "Progress.h"
#include "Records.h"
#include "Sender.h"
#include "transfer/DatabaseFile.h"
#include "transfer/TransferEngine.h"

#include "platform/Paths.h"
#include "platform/Signals.h"

#include <QCoreApplication>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <unistd.h>

namespace sendcmd {

namespace {

constexpr const char* kProgram = "scaledb-send";

// The scale's side of a dry run: every command acknowledged at once.
std::string Acknowledgement(const std::string& command) {
    if (command == "SbP" || command == "SbU") return std::string("M").append(command, 1).append("\r\n");
    if (command == "Se") return "Me\r\n";
    return "Mr\r\n";
}

// The commands one transfer sends, from the engine itself, against a scale that
// acknowledges everything.
std::vector<std::string> CommandsOf(const std::shared_ptr<const std::vector<std::string>>& records,
                                    bool user) {
    std::vector<std::string> commands;
    TTransferEngine engine;
    engine.RowCount = [&] { return static_cast<int>(records->size()); };
    engine.RecordText = [&](int r) { return (*records)[static_cast<std::size_t>(r)]; };
    bool finished = false;
    engine.OnSend = [&](const std::string& c) { commands.push_back(c); };
    engine.OnFinished = [&](const TTransferOutcome&) { finished = true; };
    engine.Start(user ? TDatabaseKind::User : TDatabaseKind::Product);
    while (!finished && !commands.empty()) {
        engine.Feed(Acknowledgement(commands.back()));
        engine.Tick();
    }
    return commands;
}

std::string DryRun(const std::vector<Target>& targets, const std::vector<std::string>& commands) {
    // Serial and TCP share their framing; UDP has its own.
    std::map<bool, std::vector<const Target*>> byFraming;
    for (const Target& t : targets)
        byFraming[t.kind == Target::Kind::Udp].push_back(&t);
    std::string out;
    for (const auto& [udp, group] : byFraming) {
        out += "#";
        for (const Target* t : group)
            out += " " + t->text;
        out += "\n";
        for (const std::string& c : commands)
            out += Escape(Frame(group.front()->kind, c)) + "\n";
    }
    return out;
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

int Fail(const std::string& message, int status) {
    std::cerr << kProgram << ": " << message << "\n";
    return status;
}

} // namespace

int RunCommand(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(kProgram);
    QCoreApplication::setApplicationVersion(SCALEDB_VERSION);

    SendOptions o;
    std::vector<Target> targets;
    std::shared_ptr<const std::vector<std::string>> records;
    std::string settingsDir;
    try {
        ParsedCommandLine parsed = ParseCommandLine(app.arguments());
        if (!parsed.options) {
            std::cout << parsed.output;
            return parsed.exitStatus;
        }
        o = std::move(*parsed.options);
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
        TableData table;
        try {
            table = LoadDatabaseFile(o.table);
        } catch (const EInOutError& e) {
            throw UsageError("cannot read the table " + o.table + ": " +
                             (e.ErrorCode() > 0 ? std::strerror(e.ErrorCode()) : e.what()));
        }
        // Every record is converted before anything is sent: a bad character stops the run here.
        records =
            std::make_shared<const std::vector<std::string>>(BuildRecords(table, recoder.get(), o.table));
    } catch (const UsageError& e) {
        std::cerr << kProgram << ": " << e.what() << "\nTry '" << kProgram << " --help'.\n";
        return 2;
    }

    if (o.dryRun) {
        std::cout << DryRun(targets, CommandsOf(records, o.userDatabase));
        return 0;
    }

    std::unique_ptr<SendLog> log;
    try {
        log = std::make_unique<SendLog>(o.logPath);
    } catch (const UsageError& e) {
        return Fail(e.what(), 2);
    }

    // SIGINT, SIGTERM and SIGHUP end the run: nothing more is sent, the report is still printed.
    Sender* running = nullptr;
    platform::TerminationSignals stopSignals([&](int) {
        if (running) running->Stop(InterruptedBy(platform::TerminationSignals::Received()));
    });
    // A scale that closes its end must not kill the whole run.
    std::signal(SIGPIPE, SIG_IGN);
    LinkSettings settings;
    settings.settingsDir = settingsDir;
    settings.connectSeconds = o.timeoutSeconds * (o.retries + 1);
    Sender sender(o, targets, records, settings, *log);
    running = &sender;
    std::unique_ptr<Progress> progress;
    if (!o.quiet && ::isatty(STDERR_FILENO)) progress = std::make_unique<Progress>(sender, targets);

    // A signal that came before the loop runs still stops the run.
    if (const int sig = platform::TerminationSignals::Received())
        sender.Stop(InterruptedBy(sig));
    else
        sender.Run();
    if (progress) progress->Clear();

    const std::vector<TargetResult>& results = sender.Results();
    const int signal = platform::TerminationSignals::Received();
    const int status = signal != 0 ? 128 + signal : ExitStatus(results);
    if (!o.quiet) {
        (o.json ? std::cerr : std::cout) << FinalLines(results) << std::flush;
    } else {
        // Quiet: only the targets that did not get the table, as errors.
        std::vector<TargetResult> failed;
        for (const auto& r : results)
            if (r.outcome != TargetResult::Outcome::Sent) failed.push_back(r);
        std::cerr << FinalLines(failed) << std::flush;
    }
    if (o.json) std::cout << JsonReport(o.table, o.userDatabase, status, results) << std::flush;
    return status;
}

} // namespace sendcmd
