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

} // namespace

TBoardSend::TBoardSend(scales::History& history, const Table& table, std::vector<scales::Target> targets,
                       const std::string& udpPortNote)
    : FHistory(history), FTable(table), FTargets(std::move(targets)), FUdpPortNote(udpPortNote),
      FRecords(RecordsOf(*table.data)) {
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
    scales::LookUpHosts(FTargets);
    // One scale under two names would get two transfers mixed into one table.
    scales::RefuseDuplicates(FTargets);
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
    FFleet = std::make_unique<fleet::TFleet>(options, FTargets, FRecords, settings, FLog);
    FFleet->RecordIn(*FRecorder);
    FFleet->SetUdpPortNote(FUdpPortNote);
    FFleet->OnFinished = [this] {
        if (OnFinished) OnFinished();
    };
}

void TBoardSend::Start() {
    FFleet->Start();
}

void TBoardSend::Stop(const std::string& why) {
    FFleet->Stop(why);
}

int TBoardSend::Rows() const {
    return FRecords->Count();
}

QString TBoardSend::StateText(const fleet::TargetResult& r) {
    switch (r.outcome) {
    case fleet::TargetResult::Outcome::Sent:
        return "sent";
    case fleet::TargetResult::Outcome::Stopped:
        return QString("stopped at row %1").arg(r.row);
    case fleet::TargetResult::Outcome::Failed:
        break;
    }
    return QString("FAILED at row %1: ").arg(r.row) + platform::ToQString(r.error);
}
