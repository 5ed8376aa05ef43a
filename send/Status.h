#pragma once
// What the history says, as the command prints it: --status, --history and --metrics.
#include "scales/History.h"

#include <string>
#include <vector>

namespace sendcmd {

// One line per scale and kind: "TARGET  [NAME  ]KIND     what it holds".
std::string StatusLines(const std::vector<scales::Holding>& holdings);
std::string StatusJson(const std::vector<scales::Holding>& holdings);

// What every recorded scale holds, each scale once: recorded spellings that now name one
// scale (the same address and port once looked up, the same device after symbolic links)
// are shown under the spelling of the newest transfer, with their transfers counted in.
// `notes` gets a sentence for each spelling merged so.
std::vector<scales::Holding> ScaleHoldings(scales::History& history, std::vector<std::string>& notes);

// One line per transfer, as given (newest first): start, target, name, kind, outcome,
// rows, resends, program, table file, message.
std::string HistoryLines(const std::vector<scales::TransferRecord>& records);
std::string HistoryJson(const std::vector<scales::TransferRecord>& records);

// The transfers to `scale`, a target or the name of one (its newest transfer's name),
// newest first, at most `limit` (< 0: all).
std::vector<scales::TransferRecord> TransfersOf(scales::History& history, const std::string& scale,
                                                int limit);

// The node exporter's textfile format: whether the history took every record
// (`historyOk`), and per scale and kind the end of its last complete transfer, the rows
// and outcome of its newest, whether its table is incomplete.
std::string MetricsText(const std::vector<scales::Holding>& holdings, bool historyOk);
// A label value as the format writes it: backslash, double quote and line feed escaped.
std::string MetricsLabel(const std::string& value);

} // namespace sendcmd
