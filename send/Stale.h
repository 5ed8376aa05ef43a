#pragma once
// Sending only where needed (--only-stale), and reading a table that may still be written.
#include "Report.h"
#include "Targets.h"
#include "scales/History.h"
#include "transfer/DatabaseFile.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sendcmd {

// The table changed while it was read (its writer is not done): nothing is sent, and the
// exit status says "try again later".
class TableChanging : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
constexpr int kTryAgainStatus = 75; // EX_TEMPFAIL

// A table read while its file held still, with the size and SHA-256 of exactly those bytes.
struct SteadyTable {
    TableData table;
    scales::FileDigest digest;
};
// Reads `path` with its size, modification time and SHA-256 taken before and after. Throws
// TableChanging when they differ, EInOutError when the file cannot be read.
SteadyTable LoadSteadyTable(const std::string& path);

// Targets parted by what the history says they hold.
struct StaleSplit {
    std::vector<Target> stale; // to be sent to, in the order given
    // One per target given when any holds the table: its result for one that holds it.
    std::vector<std::optional<TargetResult>> held;
};
// A target holds the table when its newest complete transfer of `kind` had this size and
// SHA-256 and no later transfer left its table incomplete.
StaleSplit SplitByHolding(scales::History& history, const std::vector<Target>& targets,
                          const scales::FileDigest& digest, scales::TableKind kind, int rows);
// Every target's result in the order given: the held ones and, between them, `sent` (the
// results of `split.stale`).
std::vector<TargetResult> MergeResults(const StaleSplit& split, const std::vector<TargetResult>& sent);

} // namespace sendcmd
