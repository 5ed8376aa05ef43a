#include "Cli.h"

#include "scales/ScaleList.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cmath>
#include <set>

namespace sendcmd {

namespace {

const char* const kDescription =
    R"(Sends a table to one or more scales at once, one acknowledged line at a time.

TARGET   serial:DEVICE[@RATE[,8N1]]   DEVICE a path (/dev/ttyUSB0, /dev/serial/by-id/...)
                                      or COMn; what is not given comes from ComPortTest.ini
         tcp:HOST:PORT                HOST a name, an IPv4 address or [an IPv6 address]
         udp:HOST:PORT                replies come to local UDP port 1001 (IPv4)
         none given: the link that config.xml and ComPortTest.ini name, read from the
         window's settings folder (beside the program when it may write there, else
         ~/.config/scaledb/), as the window uses it

SCALES   The file "scales" in that settings folder lists the shop's scales, one a line:
             tcp:192.0.2.10:4001  Deli counter
             -serial:/dev/ttyUSB0  Bakery         (a leading - switches a scale off)
             tcp:192.0.2.11:4001 pace=0  Butcher  (that scale's --pace; none: 100)
         lines starting with # are comments (a # later on is part of the name).
         --targets FILE reads the same format (names optional).

HISTORY  Every transfer is recorded in history.sqlite, beside the program when the
         settings are kept there, else in ~/.local/share/scaledb/ ($XDG_DATA_HOME).
           scaledb-send --status            what every scale holds now
           scaledb-send --history [SCALE]   the transfers, newest first
         A scale is INCOMPLETE once a transfer broke off after its start command went
         out, even one the scale refused; one whose link never opened keeps its table.

SERVICE  Started by systemd, the settings folder is $CONFIGURATION_DIRECTORY (the shop's
         list at /etc/scaledb/scales) and the history's folder $STATE_DIRECTORY.

BUSY     One sender per scale: the window, the board and every scaledb-send hold a
         scale's lock (a file in locks/ beside the history) while they send to it.
         A scale that another program is sending to fails at once, saying who
         ("being sent by scaledb, pid 4711, since 02:00:03"); --wait-busy SECONDS
         waits for it instead, and the other scales go on meanwhile.

STALE    --only-stale sends only to the scales that do not hold this very table: one
         whose newest complete transfer of this kind had the same SHA-256, with nothing
         left incomplete since, "holds it already" and gets nothing. Run it as often as
         you like: a scale that was off gets the table next time, none gets it twice.

Exit status: 0 every target got the whole table (or holds it already); 1 one or more
failed (a scale that another program was sending to among them), or the report (or the
--metrics file) could not be written; 2 bad usage, an unreadable table or target, a
record a link cannot carry, one scale named twice, too few open files, a history
--status or --history cannot read; 3 the history did not take every transfer of the run
(full disk, read-only or damaged file), whatever the scales did: --status may name a
table a scale no longer holds; 75 the table changed while it was read (still being
written): nothing was sent, try again later; 128 + n when ended by signal n.)";

std::string Std(const QString& s) {
    return s.toLocal8Bit().toStdString();
}

} // namespace

ParsedCommandLine ParseCommandLine(const QStringList& args) {
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption user(
        "user", "Send the user database (\"SbU\") instead of the product database (\"SbP\").");
    const QCommandLineOption targetsFile(
        "targets",
        "More targets from a list of scales: TARGET  NAME a line (names optional), lines starting with # are "
        "comments, a leading - "
        "for a scale switched off (a file without any target is an error).",
        "FILE");
    const QCommandLineOption scalesList("scales",
                                        "Send to every switched-on scale of the settings folder's list "
                                        "(the file \"scales\"), besides any other target.");
    const QCommandLineOption status(
        "status", "Print what every recorded scale holds now, per kind of table, and send nothing.");
    const QCommandLineOption history(
        "history", "List the recorded transfers, newest first, to SCALE (a target or a name) or to all.");
    const QCommandLineOption limit("limit", "At most N transfers with --history.", "N");
    const QCommandLineOption metrics(
        "metrics",
        "After the run (or with --status), write the state of every recorded scale to FILE in the "
        "node exporter's textfile format (e.g. scaledb.prom), replacing it atomically.",
        "FILE");
    const QCommandLineOption noHistory("no-history", "Do not record this run in the history.");
    const QCommandLineOption onlyStale(
        "only-stale",
        "Send only to the scales whose history does not show them holding this very table (same "
        "SHA-256 and kind, complete); the others \"hold it already\".");
    const QCommandLineOption timeout("timeout", "Time-out for each reply (default 5).", "SECONDS", "5");
    const QCommandLineOption pace(
        "pace",
        "Milliseconds (0 to 60000) from each acknowledgement to the next command (default 100, the window's "
        "pause; 0: at once, as fast as the scale answers). Given, it is every target's; else a scale list's "
        "pace=MS holds for its scale.",
        "MS", "100");
    const QCommandLineOption waitBusy(
        "wait-busy",
        "When another program is sending to a scale, wait up to SECONDS for it to finish (default 0: "
        "that scale fails at once, naming who sends to it).",
        "SECONDS", "0");
    const QCommandLineOption retries("retries",
                                     "How often one command is sent again after a time-out or a wrong reply "
                                     "before that scale fails (default 3).",
                                     "N", "3");
    const QCommandLineOption encoding(
        "encoding",
        "Convert each record from the file's code page to the scale's (e.g. UTF-8:CP1250); a character the "
        "scale's code page cannot hold stops the run before anything is sent.",
        "FROM:TO");
    const QCommandLineOption log(
        "log", "Append every command and every reply, time-stamped, with its target, bytes escaped.", "FILE");
    const QCommandLineOption json(
        "json",
        "A report in JSON on standard output at the end (the per-target lines go to standard error).");
    const QCommandLineOption dryRun(
        "dry-run", "Print the exact command lines (framing included, bytes escaped) and connect nowhere.");
    const QCommandLineOption quiet("quiet",
                                   "No progress; a line only for each target that did not get the table.");
    const QCommandLineOption help(QStringList{"h", "help"}, "Show this help.");
    const QCommandLineOption version("version", "Show the version.");
    parser.addOptions({user,     targetsFile, scalesList, timeout,   pace,  retries, waitBusy,
                       encoding, log,         json,       dryRun,    quiet, status,  history,
                       limit,    metrics,     noHistory,  onlyStale, help,  version});
    parser.addPositionalArgument("TABLE", "The semicolon-separated table, as the window opens it.");
    parser.addPositionalArgument("TARGET", "Where to send it (see above).", "[TARGET...]");

    if (!parser.parse(args)) throw UsageError(Std(parser.errorText()));
    ParsedCommandLine result;
    if (parser.isSet(help)) {
        result.output = Std(parser.helpText());
        return result;
    }
    if (parser.isSet(version)) {
        result.output = "scaledb-send " + Std(QCoreApplication::applicationVersion()) + "\n";
        return result;
    }

    SendOptions o;
    const QStringList positional = parser.positionalArguments();
    o.json = parser.isSet(json);
    o.metricsPath = Std(parser.value(metrics));
    if (parser.isSet(metrics) && o.metricsPath.empty()) throw UsageError("--metrics: no file given");
    if (parser.isSet(status) && parser.isSet(history))
        throw UsageError("--status and --history: one at a time");
    if (parser.isSet(limit) && !parser.isSet(history)) throw UsageError("--limit goes with --history");
    if (parser.isSet(status) || parser.isSet(history)) {
        // Neither sends: a table or a target given with them is a mistake, not something to ignore.
        const std::string mode = parser.isSet(status) ? "--status" : "--history";
        if (parser.isSet(targetsFile) || parser.isSet(scalesList) || parser.isSet(dryRun))
            throw UsageError(mode + " sends nothing: no --targets, --scales or --dry-run with it");
        if (parser.isSet(onlyStale)) throw UsageError("--only-stale goes with a run, not with " + mode);
        if (parser.isSet(status)) {
            if (!positional.isEmpty()) throw UsageError("--status takes no table or target");
            o.mode = SendOptions::Mode::Status;
        } else {
            if (positional.size() > 1) throw UsageError("--history takes at most one scale");
            if (parser.isSet(metrics)) throw UsageError("--metrics goes with a run or with --status");
            o.mode = SendOptions::Mode::History;
            if (!positional.isEmpty()) o.historyScale = Std(positional.first());
            if (parser.isSet(limit)) {
                bool ok = false;
                o.limit = parser.value(limit).toInt(&ok);
                if (!ok || o.limit < 0)
                    throw UsageError("--limit: expected a whole number from 0, got \"" +
                                     Std(parser.value(limit)) + "\"");
            }
        }
        result.options = std::move(o);
        return result;
    }
    if (positional.isEmpty()) throw UsageError("no table given");
    o.table = Std(positional.first());
    for (qsizetype i = 1; i < positional.size(); ++i)
        o.targets.push_back(ParseTarget(Std(positional[i])));
    for (const QString& file : parser.values(targetsFile)) {
        std::vector<Target> read = ReadTargetsFile(Std(file));
        // Falling back to the window's link is for a command line that names no target at all;
        // an empty list must not send the table somewhere else.
        if (read.empty()) throw UsageError("no targets in " + Std(file));
        for (Target& t : read)
            o.targets.push_back(std::move(t));
    }
    if (parser.isSet(scalesList))
        for (Target& t : ReadScalesFile(scales::ScaleListPath()))
            o.targets.push_back(std::move(t));

    std::set<std::string> seen;
    for (const Target& t : o.targets)
        if (!seen.insert(t.text).second) throw UsageError("target " + t.text + " is given twice");

    o.userDatabase = parser.isSet(user);
    bool ok = false;
    o.timeoutSeconds = parser.value(timeout).toDouble(&ok);
    if (!ok || !std::isfinite(o.timeoutSeconds) || o.timeoutSeconds <= 0 || o.timeoutSeconds > 86400)
        throw UsageError("--timeout: expected seconds greater than 0 and at most 86400, got \"" +
                         Std(parser.value(timeout)) + "\"");
    o.paceMs = parser.value(pace).toInt(&ok);
    if (!ok || o.paceMs < 0 || o.paceMs > scales::kMaxPaceMs)
        throw UsageError("--pace: expected milliseconds from 0 to " + std::to_string(scales::kMaxPaceMs) +
                         ", got \"" + Std(parser.value(pace)) + "\"");
    if (parser.isSet(pace))
        for (Target& t : o.targets)
            t.pace = o.paceMs;
    o.waitBusySeconds = parser.value(waitBusy).toDouble(&ok);
    if (!ok || !std::isfinite(o.waitBusySeconds) || o.waitBusySeconds < 0 || o.waitBusySeconds > 86400)
        throw UsageError("--wait-busy: expected seconds from 0 to 86400, got \"" +
                         Std(parser.value(waitBusy)) + "\"");
    o.retries = parser.value(retries).toInt(&ok);
    if (!ok || o.retries < 0 || o.retries > 1000000)
        throw UsageError("--retries: expected a whole number from 0 to 1000000, got \"" +
                         Std(parser.value(retries)) + "\"");
    if (parser.isSet(encoding)) {
        const std::string e = Std(parser.value(encoding));
        const auto colon = e.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == e.size())
            throw UsageError("--encoding: expected FROM:TO (e.g. UTF-8:CP1250), got \"" + e + "\"");
        o.encodingFrom = e.substr(0, colon);
        o.encodingTo = e.substr(colon + 1);
    }
    o.logPath = Std(parser.value(log));
    o.noHistory = parser.isSet(noHistory);
    o.onlyStale = parser.isSet(onlyStale);
    // What a scale holds is known from the history alone, and a run left out of it would be
    // sent again next time.
    if (o.onlyStale && o.noHistory) throw UsageError("--only-stale needs the history: not with --no-history");
    if (o.onlyStale && parser.isSet(dryRun))
        throw UsageError("--only-stale reads the history, which --dry-run leaves alone: one at a time");
    o.dryRun = parser.isSet(dryRun);
    o.quiet = parser.isSet(quiet);
    result.options = std::move(o);
    return result;
}

} // namespace sendcmd
