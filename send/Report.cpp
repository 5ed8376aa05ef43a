#include "Report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sendcmd {

namespace {

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", s);
    return buf;
}

std::string Where(const TargetResult& r) {
    const std::string of = " of " + std::to_string(r.rows);
    if (r.row <= 0) return "before row 1" + of;
    if (r.row > r.rows) return "after row " + std::to_string(r.rows) + of;
    return "at row " + std::to_string(r.row) + of;
}

QString Q(const std::string& s) {
    return QString::fromLocal8Bit(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

std::size_t TextWidth(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string Padded(const std::string& text, std::size_t width) {
    const std::size_t w = TextWidth(text);
    return w >= width ? text : text + std::string(width - w, ' ');
}

std::string FinalLine(const TargetResult& r, std::size_t width, std::size_t nameWidth) {
    std::string line = Padded(r.target, width) + "  ";
    if (nameWidth > 0) line += Padded(r.name, nameWidth) + "  ";
    if (!r.heldSince.empty()) return line + "holds it already (sent " + r.heldSince + ")";
    switch (r.outcome) {
    case TargetResult::Outcome::Sent:
        line += "sent " + std::to_string(r.acknowledged) + " of " + std::to_string(r.rows) + " rows in " +
                Seconds(r.seconds) + " s";
        // The window's pause is said nowhere; another one explains the time.
        if (r.paceMs != scales::kDefaultPaceMs) line += " at pace " + std::to_string(r.paceMs) + " ms";
        break;
    case TargetResult::Outcome::Failed:
        line += "FAILED " + Where(r) + ": " + r.error;
        break;
    case TargetResult::Outcome::Stopped:
        line += "STOPPED " + Where(r) + ": " + r.error;
        break;
    }
    return line;
}

std::string FinalLines(const std::vector<TargetResult>& results) {
    std::size_t width = 0, nameWidth = 0;
    for (const auto& r : results) {
        width = std::max(width, TextWidth(r.target));
        nameWidth = std::max(nameWidth, TextWidth(r.name));
    }
    std::string out;
    for (const auto& r : results)
        out += FinalLine(r, width, nameWidth) + "\n";
    return out;
}

std::string JsonReport(const std::string& table, bool userDatabase, int exitStatus,
                       const std::vector<TargetResult>& results) {
    QJsonArray targets;
    for (const auto& r : results) {
        QJsonObject o;
        o["target"] = Q(r.target);
        if (!r.name.empty()) o["name"] = QString::fromStdString(r.name);
        o["outcome"] = !r.heldSince.empty()                         ? "held"
                       : r.outcome == TargetResult::Outcome::Sent   ? "sent"
                       : r.outcome == TargetResult::Outcome::Failed ? "failed"
                                                                    : "stopped";
        o["rows"] = r.rows;
        o["acknowledged_rows"] = r.acknowledged;
        o["commands_sent"] = r.commands;
        o["resends"] = r.resends;
        o["seconds"] = std::round(r.seconds * 1000) / 1000;
        o["pace_ms"] = r.paceMs;
        o["row"] = r.row;
        o["error"] = r.error.empty() ? QJsonValue() : QJsonValue(Q(r.error));
        targets.append(o);
    }
    QJsonObject report;
    report["table"] = Q(table);
    report["database"] = userDatabase ? "user" : "product";
    report["exit_status"] = exitStatus;
    report["targets"] = targets;
    return QJsonDocument(report).toJson(QJsonDocument::Indented).toStdString();
}

int ExitStatus(const std::vector<TargetResult>& results) {
    for (const auto& r : results)
        if (r.outcome != TargetResult::Outcome::Sent) return 1;
    return 0;
}

} // namespace sendcmd
