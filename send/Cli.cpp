#include "Cli.h"

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

Exit status: 0 every target got the whole table; 1 one or more failed, or the report could
not be written; 2 bad usage, an unreadable table or target, a record a link cannot carry,
one scale named twice, too few open files; 128 + n when ended by signal n.)";

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
        "More targets, one a line; blank lines and lines starting with # are skipped (a file without "
        "any is an error).",
        "FILE");
    const QCommandLineOption timeout("timeout", "Time-out for each reply (default 5).", "SECONDS", "5");
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
    parser.addOptions(
        {user, targetsFile, timeout, retries, encoding, log, json, dryRun, quiet, help, version});
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

    std::set<std::string> seen;
    for (const Target& t : o.targets)
        if (!seen.insert(t.text).second) throw UsageError("target " + t.text + " is given twice");

    o.userDatabase = parser.isSet(user);
    bool ok = false;
    o.timeoutSeconds = parser.value(timeout).toDouble(&ok);
    if (!ok || !std::isfinite(o.timeoutSeconds) || o.timeoutSeconds <= 0 || o.timeoutSeconds > 86400)
        throw UsageError("--timeout: expected seconds greater than 0, got \"" + Std(parser.value(timeout)) +
                         "\"");
    o.retries = parser.value(retries).toInt(&ok);
    if (!ok || o.retries < 0 || o.retries > 1000000)
        throw UsageError("--retries: expected a whole number from 0, got \"" + Std(parser.value(retries)) +
                         "\"");
    if (parser.isSet(encoding)) {
        const std::string e = Std(parser.value(encoding));
        const auto colon = e.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == e.size())
            throw UsageError("--encoding: expected FROM:TO (e.g. UTF-8:CP1250), got \"" + e + "\"");
        o.encodingFrom = e.substr(0, colon);
        o.encodingTo = e.substr(colon + 1);
    }
    o.logPath = Std(parser.value(log));
    o.json = parser.isSet(json);
    o.dryRun = parser.isSet(dryRun);
    o.quiet = parser.isSet(quiet);
    result.options = std::move(o);
    return result;
}

} // namespace sendcmd
