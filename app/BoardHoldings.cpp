#include "BoardHoldings.h"

#include "platform/Text.h"
#include "scales/Targets.h"

namespace {

QString Q(const std::string& s) {
    return platform::ToQString(s);
}

} // namespace

TBoardHoldings::TBoardHoldings(scales::History& history, scales::TableKind kind)
    : FKnown(history.State() == scales::HistoryState::Open ||
             history.State() == scales::HistoryState::ReadOnly) {
    if (!FKnown) return;
    for (scales::Holding& h : history.Holdings())
        if (h.kind == kind) FByKey.emplace(h.target, std::move(h));
}

const scales::Holding* TBoardHoldings::Of(const std::string& target) const {
    const auto found = FByKey.find(scales::ScaleKey(target));
    return found != FByKey.end() ? &found->second : nullptr;
}

QString TBoardHoldings::Short(const scales::Holding& h) {
    // The tooltip has the whole text.
    if (h.Incomplete() || !h.complete) return Q(scales::DescribeHolding(h));
    const scales::TransferRecord& c = *h.complete;
    const std::string name = c.path.substr(c.path.find_last_of('/') + 1);
    return Q(name + " sha256 " + c.sha256.substr(0, 8)) + QChar(0x2026) + " sent " +
           Q(scales::FormatLocalTime(c.ended ? c.ended : c.started));
}

QString TBoardHoldings::Last(const scales::TransferRecord& t) {
    return Q(scales::DescribeOutcome(t) + ", " + scales::FormatLocalTime(t.ended ? t.ended : t.started));
}
