#pragma once
// The command line of scaledb-send.
#include "Targets.h"

#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace sendcmd {

// The fleet's options (the reply time-out, retries, the kind of table) and the command's own.
struct SendOptions : fleet::FleetOptions {
    // Send a table; print what every scale holds (--status); list transfers (--history).
    enum class Mode { Send, Status, History };
    Mode mode = Mode::Send;
    std::string table;
    std::vector<Target> targets; // empty: the link config.xml names
    std::optional<std::string> encodingFrom, encodingTo;
    std::string logPath;
    bool json = false;
    bool dryRun = false;
    bool quiet = false;
    bool noHistory = false;   // --no-history: the run is not recorded
    bool onlyStale = false;   // --only-stale: not to scales whose history shows this table
    std::string metricsPath;  // --metrics FILE
    std::string historyScale; // --history SCALE: a target or a name; empty: every scale
    int limit = -1;           // --limit N of --history; < 0: all
};

// What the command line asks for: a run, or text to print and an exit status.
struct ParsedCommandLine {
    std::optional<SendOptions> options;
    std::string output; // --help or --version text, for standard output
    int exitStatus = 0;
};

// `args` include the program name first. Throws UsageError for bad usage; a missing or
// bad targets file is bad usage too.
ParsedCommandLine ParseCommandLine(const QStringList& args);

} // namespace sendcmd
