#include "BoardHoldings.h"

#include <QDateTime>
#include <QStringList>

#include "platform/Text.h"
#include "scales/Targets.h"

namespace {

QString Q(const std::string& s) {
    return platform::ToQString(s);
}

constexpr scales::TableKind kKinds[] = {scales::TableKind::Product, scales::TableKind::User};

bool Readable(const scales::History& history) {
    return history.State() == scales::HistoryState::Open || history.State() == scales::HistoryState::ReadOnly;
}

} // namespace

TBoardHoldings::TBoardHoldings(scales::History& history) : FKnown(Readable(history)) {
    if (FKnown) Add(history.Holdings());
}

TBoardHoldings::TBoardHoldings(scales::History& history, const std::string& target)
    : FKnown(Readable(history)) {
    if (FKnown) Add(history.Holdings(scales::ScaleKey(target)));
}

void TBoardHoldings::Add(std::vector<scales::Holding> holdings) {
    for (scales::Holding& h : holdings) {
        auto key = std::make_pair(h.target, h.kind);
        FByKey.emplace(std::move(key), std::move(h));
    }
}

const scales::Holding* TBoardHoldings::Of(const std::string& target, scales::TableKind kind) const {
    const auto found = FByKey.find({scales::ScaleKey(target), kind});
    return found != FByKey.end() ? &found->second : nullptr;
}

QString TBoardHoldings::KindName(scales::TableKind kind) {
    return kind == scales::TableKind::User ? "users" : "products";
}

QString TBoardHoldings::Holds(const std::string& target) const {
    if (!Of(target, kKinds[0]) && !Of(target, kKinds[1])) return "no complete table recorded";
    QStringList lines;
    for (scales::TableKind kind : kKinds) {
        const scales::Holding* h = Of(target, kind);
        lines << KindName(kind) + ": " + (h ? Short(*h) : QString("no complete table recorded"));
    }
    return lines.join('\n');
}

QString TBoardHoldings::HoldsInFull(const std::string& target) const {
    if (!Of(target, kKinds[0]) && !Of(target, kKinds[1])) return "no complete table recorded";
    QStringList lines;
    for (scales::TableKind kind : kKinds) {
        const scales::Holding* h = Of(target, kind);
        lines << KindName(kind) + ": " + (h ? Q(scales::DescribeHolding(*h)) : "no complete table recorded");
    }
    return lines.join('\n');
}

bool TBoardHoldings::Incomplete(const std::string& target) const {
    for (scales::TableKind kind : kKinds)
        if (const scales::Holding* h = Of(target, kind); h && h->Incomplete()) return true;
    return false;
}

QString TBoardHoldings::Last(const std::string& target) const {
    QStringList lines;
    for (scales::TableKind kind : kKinds)
        if (const scales::Holding* h = Of(target, kind)) lines << KindName(kind) + ": " + Last(h->last);
    return lines.join('\n');
}

QString TBoardHoldings::LastInFull(const std::string& target) const {
    QStringList lines;
    for (scales::TableKind kind : kKinds)
        if (const scales::Holding* h = Of(target, kind)) {
            const scales::TransferRecord& t = h->last;
            QString line = KindName(kind) + ": " + Q(scales::DescribeOutcome(t)) + ", " +
                           Q(scales::FormatLocalTime(t.ended ? t.ended : t.started));
            if (!t.message.empty()) line += ": " + Q(t.message);
            lines << line;
        }
    return lines.join('\n');
}

QString TBoardHoldings::When(std::int64_t utcMs) {
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(utcMs);
    return at.date() == QDate::currentDate() ? "today " + at.toString("HH:mm")
                                             : at.toString("yyyy-MM-dd HH:mm");
}

QString TBoardHoldings::Short(const scales::Holding& h) {
    // The tooltip has the whole text.
    if (h.broken) {
        const bool unended = h.broken->outcome == scales::TransferOutcome::Running && !h.broken->interrupted;
        return "INCOMPLETE since " + When(h.incompleteSince) + " (" +
               (unended ? QString("no end recorded") : Q(scales::DescribeOutcome(*h.broken))) + ")";
    }
    if (!h.complete) return Q(scales::DescribeHolding(h));
    const scales::TransferRecord& c = *h.complete;
    const std::string name = c.path.substr(c.path.find_last_of('/') + 1);
    return Q(name + " sha256 " + c.sha256.substr(0, 8)) + QChar(0x2026) + " sent " +
           When(c.ended ? c.ended : c.started);
}

QString TBoardHoldings::Last(const scales::TransferRecord& t) {
    return Q(scales::DescribeOutcome(t)) + ", " + When(t.ended ? t.ended : t.started);
}
