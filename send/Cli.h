#pragma once
// The command line of scaledb-send.
#include "Targets.h"

#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace sendcmd {

struct SendOptions {
    std::string table;
    std::vector<Target> targets; // empty: the link config.xml names
    bool userDatabase = false;
    double timeoutSeconds = 5;
    int retries = 3;
    std::optional<std::string> encodingFrom, encodingTo;
    std::string logPath;
    bool json = false;
    bool dryRun = false;
    bool quiet = false;
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
