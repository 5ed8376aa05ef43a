#include "Status.h"

#include "Report.h"
#include "Targets.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

namespace sendcmd {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

QJsonValue OrNull(const std::string& s) {
    return s.empty() ? QJsonValue() : QJsonValue(Q(s));
}

// ISO 8601 in UTC, for scripts; 0 (no time) is null.
QJsonValue Time(std::int64_t ms) {
    if (ms == 0) return QJsonValue();
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonObject RecordJson(const scales::TransferRecord& r) {
    QJsonObject o;
    o["started"] = Time(r.started);
    o["ended"] = Time(r.ended);
    o["target"] = Q(r.target);
    o["name"] = OrNull(r.name);
    o["kind"] = scales::KindText(r.kind);
    o["outcome"] = scales::OutcomeText(r.outcome);
    o["row"] = r.row;
    o["rows"] = r.rows;
    o["acknowledged_rows"] = r.acknowledged;
    o["resends"] = r.resends;
    o["program"] = Q(r.program);
    o["table"] = Q(r.path);
    o["size"] = static_cast<qint64>(r.size);
    o["sha256"] = Q(r.sha256);
    o["message"] = OrNull(r.message);
    o["interrupted"] = r.interrupted;
    return o;
}

// Unix seconds with the milliseconds.
std::string Seconds(std::int64_t ms) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(ms / 1000),
                  static_cast<long long>(ms % 1000));
    return buf;
}

std::string Rows(const scales::TransferRecord& r) {
    return std::to_string(r.acknowledged) + " of " + std::to_string(r.rows) + " rows";
}

} // namespace

namespace {

// What a scale holds of `kind`, from its transfers newest first (as History::Holdings
// decides it from the index).
std::optional<scales::Holding> HoldingFrom(const std::vector<scales::TransferRecord>& newestFirst,
                                           scales::TableKind kind) {
    std::optional<scales::Holding> h;
    for (const scales::TransferRecord& r : newestFirst) {
        if (r.kind != kind) continue;
        if (!h) {
            h.emplace();
            h->kind = kind;
            h->last = r;
            h->name = r.name;
        }
        if (r.outcome == scales::TransferOutcome::Sent) {
            h->complete = r;
            break;
        }
        if (r.LeftIncomplete()) {
            if (!h->broken) h->broken = r;
            h->incompleteSince = r.started;
        }
    }
    return h;
}

} // namespace

std::vector<scales::Holding> ScaleHoldings(scales::History& history, std::vector<std::string>& notes) {
    std::vector<scales::Holding> all = history.Holdings();
    // Each target's same-scale key, from its newest transfer: the holdings have them.
    std::vector<std::pair<std::string, std::string>> recorded;
    std::map<std::string, const scales::TransferRecord*> newest;
    for (const scales::Holding& h : all) {
        const scales::TransferRecord*& n = newest[h.target];
        if (!n || std::pair(h.last.started, h.last.id) > std::pair(n->started, n->id)) n = &h.last;
    }
    for (const auto& [target, last] : newest)
        recorded.emplace_back(target, last->scale);
    // What each recorded spelling names now; a host that is not found keeps what it named.
    std::vector<scales::Target> now;
    std::vector<std::size_t> parsed; // index into `recorded` of each of `now`
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        try {
            now.push_back(scales::ParseTarget(recorded[i].first));
            parsed.push_back(i);
        } catch (const scales::TargetError&) {
        }
    }
    LookUpHosts(now);
    std::vector<std::string> keys(recorded.size());
    for (std::size_t i = 0; i < recorded.size(); ++i)
        keys[i] = recorded[i].second;
    for (std::size_t j = 0; j < now.size(); ++j)
        if (auto key = scales::SameScaleKey(now[j])) keys[parsed[j]] = *key;
    std::map<std::string, std::vector<std::string>> byScale; // same-scale key -> spellings
    for (std::size_t i = 0; i < recorded.size(); ++i)
        if (!keys[i].empty()) byScale[keys[i]].push_back(recorded[i].first);
    for (const auto& [key, spellings] : byScale) {
        if (spellings.size() < 2) continue;
        std::vector<scales::TransferRecord> transfers;
        for (const std::string& t : spellings)
            for (auto& r : history.Transfers(t))
                transfers.push_back(std::move(r));
        std::sort(transfers.begin(), transfers.end(), [](const auto& a, const auto& b) {
            return a.started != b.started ? a.started > b.started : a.id > b.id;
        });
        if (transfers.empty()) continue;
        const std::string shown = transfers.front().target;
        std::vector<std::string> others;
        for (const std::string& t : spellings)
            if (t != shown) {
                others.push_back(t);
                notes.push_back(t + " now names the same scale as " + shown + " (" +
                                key.substr(key.find(' ') + 1) + "); its transfers are shown under " + shown);
            }
        // The spellings' own entries give way to one merged entry per kind, where the shown one was.
        std::vector<scales::Holding> merged;
        for (scales::TableKind kind : {scales::TableKind::Product, scales::TableKind::User})
            if (auto h = HoldingFrom(transfers, kind)) {
                h->target = shown;
                h->alsoRecordedAs = others;
                merged.push_back(std::move(*h));
            }
        std::vector<scales::Holding> kept;
        bool placed = false;
        for (auto& h : all) {
            const bool mine = std::find(spellings.begin(), spellings.end(), h.target) != spellings.end();
            if (!mine) {
                kept.push_back(std::move(h));
            } else if (!placed && h.target == shown) {
                placed = true;
                for (auto& m : merged)
                    kept.push_back(std::move(m));
            }
        }
        if (!placed)
            for (auto& m : merged)
                kept.push_back(std::move(m));
        all = std::move(kept);
    }
    return all;
}

namespace {

// A column is as wide as its widest value up to this many characters: one long
// name must not push every line out, only its own.
constexpr std::size_t kMostColumn = 40;

void Widen(std::size_t& width, const std::string& value) {
    if (const std::size_t w = TextWidth(value); w <= kMostColumn) width = std::max(width, w);
}

} // namespace

std::string StatusLines(const std::vector<scales::Holding>& holdings) {
    std::size_t width = 0, nameWidth = 0;
    bool named = false;
    for (const auto& h : holdings) {
        Widen(width, h.target);
        Widen(nameWidth, h.name);
        named = named || !h.name.empty();
    }
    std::string out;
    for (const auto& h : holdings) {
        out += Padded(h.target, width) + "  ";
        if (named) out += Padded(h.name, nameWidth) + "  ";
        out += Padded(scales::KindText(h.kind), 7) + "  " + scales::DescribeHolding(h) + "\n";
    }
    return out;
}

std::string StatusJson(const std::vector<scales::Holding>& holdings) {
    QJsonArray all;
    for (const auto& h : holdings) {
        QJsonObject o;
        o["target"] = Q(h.target);
        o["name"] = OrNull(h.name);
        o["kind"] = scales::KindText(h.kind);
        o["incomplete"] = h.Incomplete();
        o["incomplete_since"] = h.Incomplete() ? Time(h.incompleteSince) : QJsonValue();
        o["holds"] = scales::DescribeHolding(h).c_str();
        o["complete"] = h.complete ? QJsonValue(RecordJson(*h.complete)) : QJsonValue();
        o["broken"] = h.broken ? QJsonValue(RecordJson(*h.broken)) : QJsonValue();
        o["last"] = RecordJson(h.last);
        QJsonArray also;
        for (const auto& t : h.alsoRecordedAs)
            also.append(Q(t));
        o["also_recorded_as"] = also;
        all.append(o);
    }
    return QJsonDocument(all).toJson(QJsonDocument::Indented).toStdString();
}

std::string HistoryLines(const std::vector<scales::TransferRecord>& records) {
    std::size_t width = 0, nameWidth = 0, outcomeWidth = 0, rowsWidth = 0;
    for (const auto& r : records) {
        width = std::max(width, TextWidth(r.target));
        nameWidth = std::max(nameWidth, TextWidth(r.name));
        outcomeWidth = std::max(outcomeWidth, scales::DescribeOutcome(r).size());
        rowsWidth = std::max(rowsWidth, Rows(r).size());
    }
    std::string out;
    for (const auto& r : records) {
        std::string line = scales::FormatLocalTime(r.started) + "  " + Padded(r.target, width) + "  ";
        if (nameWidth > 0) line += Padded(r.name, nameWidth) + "  ";
        line += Padded(scales::KindText(r.kind), 7) + "  " +
                Padded(scales::DescribeOutcome(r), outcomeWidth) + "  " + Padded(Rows(r), rowsWidth) + "  " +
                std::to_string(r.resends) + " resends  " + r.program + "  " + r.path;
        if (!r.message.empty()) line += "  " + r.message;
        out += line + "\n";
    }
    return out;
}

std::string HistoryJson(const std::vector<scales::TransferRecord>& records) {
    QJsonArray all;
    for (const auto& r : records)
        all.append(RecordJson(r));
    return QJsonDocument(all).toJson(QJsonDocument::Indented).toStdString();
}

std::vector<scales::TransferRecord> TransfersOf(scales::History& history, const std::string& scale,
                                                int limit) {
    std::vector<scales::TransferRecord> found = history.Transfers(ScaleKey(scale), limit);
    if (!found.empty() || scale.empty()) return found;
    // Not a target: the scales known by that name (each holds up to two kinds, asked once).
    std::set<std::string> targets;
    for (const scales::Holding& h : history.Holdings())
        if (h.name == scale) targets.insert(h.target);
    for (const std::string& t : targets)
        for (auto& r : history.Transfers(t, limit))
            found.push_back(std::move(r));
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.started != b.started ? a.started > b.started : a.id > b.id;
    });
    if (limit >= 0 && found.size() > static_cast<std::size_t>(limit))
        found.resize(static_cast<std::size_t>(limit));
    return found;
}

std::string MetricsLabel(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\', out += c;
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string MetricsText(const std::vector<scales::Holding>& holdings, bool historyOk) {
    auto labels = [](const scales::Holding& h) {
        std::string l = "scale=\"" + MetricsLabel(h.target) + "\"";
        if (!h.name.empty()) l += ",name=\"" + MetricsLabel(h.name) + "\"";
        return l + ",kind=\"" + scales::KindText(h.kind) + "\"";
    };
    std::string out;
    auto family = [&](const char* name, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
    };
    family("scaledb_history_ok",
           "1 when the history could be read and took every transfer of the run, 0 when not.");
    out += std::string("scaledb_history_ok ") + (historyOk ? "1" : "0") + "\n";
    family("scaledb_last_success_timestamp_seconds",
           "End of the newest transfer that sent the whole table, Unix seconds (0: none recorded).");
    for (const auto& h : holdings)
        out += "scaledb_last_success_timestamp_seconds{" + labels(h) + "} " +
               (h.complete ? Seconds(h.complete->ended ? h.complete->ended : h.complete->started) : "0") +
               "\n";
    family("scaledb_last_transfer_timestamp_seconds",
           "End of the newest transfer of any outcome (its start while it runs), Unix seconds.");
    for (const auto& h : holdings)
        out += "scaledb_last_transfer_timestamp_seconds{" + labels(h) + "} " +
               Seconds(h.last.ended ? h.last.ended : h.last.started) + "\n";
    family("scaledb_last_rows", "Rows of the table of the newest transfer.");
    for (const auto& h : holdings)
        out += "scaledb_last_rows{" + labels(h) + "} " + std::to_string(h.last.rows) + "\n";
    family("scaledb_last_outcome", "1 for the outcome of the newest transfer, 0 for the others.");
    for (const auto& h : holdings)
        for (auto outcome : {scales::TransferOutcome::Sent, scales::TransferOutcome::Failed,
                             scales::TransferOutcome::Stopped, scales::TransferOutcome::Running})
            out += "scaledb_last_outcome{" + labels(h) + ",outcome=\"" + scales::OutcomeText(outcome) +
                   "\"} " + (h.last.outcome == outcome ? "1" : "0") + "\n";
    family("scaledb_incomplete",
           "1 when a transfer broke off after the scale began replacing its table, or never ended.");
    for (const auto& h : holdings)
        out += "scaledb_incomplete{" + labels(h) + "} " + (h.Incomplete() ? "1" : "0") + "\n";
    return out;
}

} // namespace sendcmd
