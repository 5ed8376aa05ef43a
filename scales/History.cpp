#include "History.h"

namespace scales {

const char* OutcomeText(TransferOutcome) {
    return "";
}
std::optional<TransferOutcome> OutcomeFromText(std::string_view) {
    return {};
}
const char* KindText(TableKind) {
    return "";
}
std::optional<TableKind> KindFromText(std::string_view) {
    return {};
}
std::int64_t NowUtcMs() {
    return 0;
}
std::string FormatLocalTime(std::int64_t) {
    return {};
}
std::optional<FileDigest> DigestFile(const std::string&, std::string*) {
    return {};
}
FileDigest DigestBytes(std::string_view) {
    return {};
}
bool TransferRecord::LeftIncomplete() const {
    return false;
}
std::string DescribeHolding(const Holding&) {
    return {};
}
std::string DescribeOutcome(const TransferRecord&) {
    return {};
}
std::string HistoryPath() {
    return {};
}

struct History::Impl {};

History::History() = default;
History::~History() = default;

HistoryState History::Open(const std::string& path) {
    FPath = path;
    Fail("not built yet");
    return FState;
}
void History::Close() {}
std::int64_t History::Begin(const TransferStart&) {
    return 0;
}
void History::End(std::int64_t, const TransferEnd&) {}
std::int64_t History::Record(const TransferStart&, const TransferEnd&) {
    return 0;
}
std::vector<Holding> History::Holdings() {
    return {};
}
std::vector<Holding> History::Holdings(const std::string&) {
    return {};
}
std::vector<TransferRecord> History::Transfers(const std::string&, int) {
    return {};
}

bool History::Fail(const std::string& what) {
    FState = HistoryState::Unavailable;
    if (FError.empty()) FError = "history " + FPath + ": " + what;
    if (!FReported) {
        FReported = true;
        if (OnError) OnError(FError);
    }
    return false;
}

} // namespace scales
