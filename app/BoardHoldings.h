#pragma once
// What each scale of the board holds now and how its last transfer ended, of
// one kind of table, from one pass over the history.
#include <QString>
#include <map>
#include <string>

#include "scales/History.h"

class TBoardHoldings {
public:
    TBoardHoldings(scales::History& history, scales::TableKind kind);
    // The history could be read; otherwise nothing is known.
    bool Known() const { return FKnown; }
    // The scale's holding, found by ScaleKey; none when it has no transfer of the kind.
    const scales::Holding* Of(const std::string& target) const;

    // Short enough for its cell: the file's name and the start of its hash.
    static QString Short(const scales::Holding& h);
    // "sent, 2026-12-09 16:00": the outcome of the last transfer and when.
    static QString Last(const scales::TransferRecord& t);

private:
    bool FKnown = false;
    std::map<std::string, scales::Holding> FByKey;
};
