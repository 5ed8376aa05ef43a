#include "BoardSend.h"

#include "fleet/Bytes.h"
#include "fleet/Records.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace {

// The records as the main window sends them: the grid's rows, byte for byte.
// The table is copied, so loading another file during a send changes nothing
// of what goes out.
std::shared_ptr<const fleet::Records> RecordsOf(const TableData& table) {
    return std::make_shared<const fleet::Records>(std::make_shared<const TableData>(table),
                                                  std::unique_ptr<fleet::Recoder>());
}

// One scale, however the two are spelled: by ScaleKey, or once looked up by
// address and port (the device after symbolic links).
bool SameScale(const scales::Target& a, const scales::Target& b) {
    if (a.kind != b.kind) return false;
    if (scales::ScaleKey(a.text) == scales::ScaleKey(b.text)) return true;
    const std::optional<std::string> key = scales::SameScaleKey(a);
    return key && key == scales::SameScaleKey(b);
}

} // namespace

const char* const TBoardSend::HeldByWindow =
    "the main window's own connection holds this scale: press \"Disconnect\" there, then send again";

TBoardSend::TBoardSend(scales::History& history, const Table& table, std::vector<scales::Target> targets,
                       const std::string& udpPortNote, const std::string& windowLink)
    : FHistory(history), FTable(table), FTargets(std::move(targets)), FUdpPortNote(udpPortNote),
      FWindowLink(windowLink), FRecords(RecordsOf(*table.data)) {
    // As the command does: a record that a link would cut short stops the send
    // before anything goes out.
    FRecords->Check(FTable.path, FTargets);
}

TBoardSend::~TBoardSend() {
    if (!FFleet) return;
    FFleet->OnFinished = nullptr;
    FFleet.reset();
}

void TBoardSend::Prepare() {
    // The window's link is looked up with the rest, to be told by its address too.
    std::optional<scales::Target> window;
    if (!FWindowLink.empty()) {
        try {
            window = scales::ParseTarget(FWindowLink);
        } catch (const scales::TargetError&) {
        }
    }
    if (window) FTargets.push_back(*window);
    scales::LookUpHosts(FTargets);
    if (window) {
        window = std::move(FTargets.back());
        FTargets.pop_back();
    }
    // One scale under two names would get two transfers mixed into one table.
    scales::RefuseDuplicates(FTargets);
    // A scale the window is connected to answers the window only (a TCP scale
    // serves one connection, a serial port opens once): it would look silent.
    std::vector<scales::Target> reachable;
    FInFleet.assign(FTargets.size(), -1);
    FHeld.assign(FTargets.size(), fleet::TargetResult{});
    for (std::size_t i = 0; i < FTargets.size(); ++i) {
        if (window && SameScale(FTargets[i], *window)) {
            fleet::TargetResult& r = FHeld[i];
            r.target = FTargets[i].text;
            r.name = FTargets[i].name;
            r.rows = FRecords->Count();
            r.outcome = fleet::TargetResult::Outcome::Failed;
            r.error = HeldByWindow;
            continue;
        }
        FInFleet[i] = static_cast<int>(reachable.size());
        reachable.push_back(FTargets[i]);
    }
    // As scaledb-send sends by default: 5 s for a reply, 3 retries.
    fleet::FleetOptions options;
    options.userDatabase = FTable.user;
    fleet::LinkSettings settings;
    settings.settingsDir = platform::SettingsDir();
    settings.connectSeconds = options.timeoutSeconds * (options.retries + 1);
    scales::TransferStart sent;
    sent.path = FTable.path;
    sent.size = FTable.digest.size;
    sent.sha256 = FTable.digest.sha256;
    sent.rows = FRecords->Count();
    sent.kind = FTable.user ? scales::TableKind::User : scales::TableKind::Product;
    sent.program = "scaledb";
    FRecorder = std::make_unique<fleet::TRecorder>(FHistory, sent, fleet::TScaleNames());
    FFleet = std::make_unique<fleet::TFleet>(options, std::move(reachable), FRecords, settings, FLog);
    FFleet->RecordIn(*FRecorder);
    FFleet->SetUdpPortNote(FUdpPortNote);
    FFleet->OnFinished = [this] {
        if (OnFinished) OnFinished();
    };
}

void TBoardSend::Start() {
    // Recorded as every scale of the send is, at once: its link never opened.
    for (std::size_t i = 0; i < FTargets.size(); ++i)
        if (FInFleet[i] < 0) {
            fleet::TRecording recording = FRecorder->NotBegun(FHeld[i].target, FHeld[i].name);
            FRecorder->End(recording, fleet::EndOf(scales::TransferOutcome::Failed, 0, TTransferProgress{},
                                                   HeldByWindow));
        }
    FFleet->Start();
}

std::vector<fleet::TFleet::Status> TBoardSend::Statuses() const {
    const std::vector<fleet::TFleet::Status> running = FFleet->Statuses();
    std::vector<fleet::TFleet::Status> out(FTargets.size());
    for (std::size_t i = 0; i < FTargets.size(); ++i) {
        if (FInFleet[i] >= 0) {
            out[i] = running[static_cast<std::size_t>(FInFleet[i])];
            continue;
        }
        out[i].finished = true;
        out[i].rows = FRecords->Count();
    }
    return out;
}

const fleet::TargetResult& TBoardSend::Result(std::size_t i) const {
    return FInFleet[i] >= 0 ? FFleet->Results()[static_cast<std::size_t>(FInFleet[i])] : FHeld[i];
}

void TBoardSend::Stop(const std::string& why) {
    FFleet->Stop(why);
}

int TBoardSend::Rows() const {
    return FRecords->Count();
}

QString TBoardSend::StateText(const fleet::TargetResult& r) {
    // Row 0 and the row after the last are the start and end commands, not rows.
    const QString where = r.row <= 0       ? QString("before row 1")
                          : r.row > r.rows ? QString("after row %1").arg(r.rows)
                                           : QString("at row %1").arg(r.row);
    switch (r.outcome) {
    case fleet::TargetResult::Outcome::Sent:
        return "sent";
    case fleet::TargetResult::Outcome::Stopped:
        return "stopped " + where;
    case fleet::TargetResult::Outcome::Failed:
        break;
    }
    return "FAILED " + where + ": " + platform::ToQString(r.error);
}
