#pragma once
// What each scale of the board holds now and how its last transfers ended,
// both kinds of table (products and users are separate tables on a scale),
// from one pass over the history.
#include <QString>
#include <cstdint>
#include <map>
#include <string>

#include "scales/History.h"

class TBoardHoldings {
public:
    // Every recorded scale.
    explicit TBoardHoldings(scales::History& history);
    // One scale only (a scale whose transfer just ended).
    TBoardHoldings(scales::History& history, const std::string& target);
    // The history could be read; otherwise nothing is known.
    bool Known() const { return FKnown; }
    // The scale's holding of `kind`, found by ScaleKey; none when it has no transfer of the kind.
    const scales::Holding* Of(const std::string& target, scales::TableKind kind) const;

    // The cell: "no complete table recorded" when neither kind has a transfer, else
    // a line per kind, short enough for its cell:
    //   "products: products.csv sha256 9f86d0… sent today 16:00"
    //   "users: no complete table recorded"
    QString Holds(const std::string& target) const;
    // The same with the whole path and hash, for the tooltip.
    QString HoldsInFull(const std::string& target) const;
    // Either kind's table is incomplete.
    bool Incomplete(const std::string& target) const;
    // A line per kind with a transfer: "products: sent, today 16:00".
    QString Last(const std::string& target) const;
    // The same with the seconds and each transfer's message, for the tooltip.
    QString LastInFull(const std::string& target) const;

    // "products" or "users".
    static QString KindName(scales::TableKind kind);
    // "today 16:00", else "2026-12-08 16:00": short, the tooltip has the seconds.
    static QString When(std::int64_t utcMs);
    // Short enough for its cell: the file's name, the start of its hash and when.
    static QString Short(const scales::Holding& h);
    // "sent, today 16:00": the outcome of a transfer and when.
    static QString Last(const scales::TransferRecord& t);

private:
    void Add(std::vector<scales::Holding> holdings);

    bool FKnown = false;
    std::map<std::pair<std::string, scales::TableKind>, scales::Holding> FByKey;
};
