#pragma once
// What sending a table to scales comes to: refused before anything went out,
// or one result per scale.
#include <optional>
#include <stdexcept>
#include <string>

#include "links/Link.h"
#include "scales/Targets.h"

namespace fleet {

// A send refused before anything went out: a bad target, table or log.
class Refused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How a fleet's transfers run; the command's defaults: 5 s for a reply, 3 retries.
struct FleetOptions {
    bool userDatabase = false;
    double timeoutSeconds = 5;
    int retries = 3;
    int paceMs = scales::kDefaultPaceMs; // from an acknowledgement to the next command, for a target without
                                         // a pace of its own
    // How long a target waits for another sender to let its scale go; 0: it fails at once.
    double waitBusySeconds = 0;
};

struct TargetResult {
    enum class Outcome { Sent, Failed, Stopped };
    std::string target;
    std::string name; // the scale's name from a list; may be empty
    Outcome outcome = Outcome::Failed;
    int rows = 0;         // rows of the table
    int acknowledged = 0; // rows the scale acknowledged
    int commands = 0;     // commands sent, resends included
    int resends = 0;
    double seconds = 0;
    int paceMs = scales::kDefaultPaceMs; // the pause after each acknowledgement
    // Where it ended: 0 before the first row (connecting, the start command),
    // 1..rows a row, rows + 1 the end command.
    int row = 0;
    std::string error;               // why it failed or stopped
    std::optional<TLinkFault> fault; // when its link failed
    // Set (local time of that transfer) when the scale held this very table already and
    // nothing was sent (--only-stale); the outcome is then Sent.
    std::string heldSince;
};

} // namespace fleet
