#pragma once
// The history of every transfer, from the window and from scaledb-send, in one
// SQLite database (Qt SQL, driver QSQLITE) that several processes write at once.
//
// A transfer is a row written when it starts (outcome "running", with who
// sends it: pid, process start, machine and boot), updated with its progress
// as it goes and again when it ends. A sender that dies in between leaves the
// row "running", so the scale still shows as incomplete afterwards; once its
// process is gone the row reads as interrupted where it last recorded.
//
// The database is in WAL mode with a 5 s busy time-out, so a nightly job and
// the window can write at the same time. Commits are not flushed to the disk
// one by one (synchronous=NORMAL): a power cut may lose the newest records,
// never the file; a crashed program loses nothing.
//
// Nothing here throws into a transfer. A history that cannot be opened (a
// corrupt file, someone else's database, a folder that takes no file, a schema
// newer than this program knows) is reported once through OnError and
// Error(); every later call is then a no-op and queries return nothing. Such
// a file is never changed. A write that fails on an open history is reported
// the same way (once), and later writes are still tried. A file without write
// permission is opened read-only: queries work, writes are no-ops (reported
// once when opened).
//
// Each instance has a connection of its own. Qt's database connections belong
// to the thread that opened them: call every function of an instance on the
// thread that called Open. Two instances in two threads, or two processes,
// may use one file at once. Qt loads the driver only once a QCoreApplication
// exists.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QSqlQuery;

namespace scales {

// "running", "sent", "failed", "stopped" in the database and in texts.
enum class TransferOutcome { Running, Sent, Failed, Stopped };
// "product" (SbP) or "user" (SbU): a scale holds one table of each kind.
enum class TableKind { Product, User };

const char* OutcomeText(TransferOutcome outcome);
std::optional<TransferOutcome> OutcomeFromText(std::string_view text);
const char* KindText(TableKind kind);
std::optional<TableKind> KindFromText(std::string_view text);

// Milliseconds since 1970-01-01 UTC, now.
std::int64_t NowUtcMs();
// "2026-12-09 10:15:02" in local time (what a shop's clock says).
std::string FormatLocalTime(std::int64_t utcMs);

// Size and SHA-256 of a table file's bytes.
struct FileDigest {
    std::int64_t size = 0;
    std::string sha256; // 64 lower-case hex digits
};
// Reads the file once, in pieces. Only regular files are read (a FIFO never
// blocks it). Returns nullopt, and the reason in `error` when given, when the
// file cannot be read.
std::optional<FileDigest> DigestFile(const std::string& path, std::string* error = nullptr);
FileDigest DigestBytes(std::string_view bytes);

// What is known when a transfer starts.
struct TransferStart {
    std::int64_t started = 0; // UTC ms; 0: now
    std::string target;       // as the list or the command line writes it
    std::string name;         // the scale's name; may be empty
    std::string path;         // the table file; made absolute when relative
    std::int64_t size = 0;    // of the table file, and its SHA-256 (DigestFile)
    std::string sha256;
    int rows = 0;
    TableKind kind = TableKind::Product;
    std::string program; // "scaledb" or "scaledb-send"
    // What makes it the same scale as another spelling (SameScaleKey of
    // scales/Targets: "tcp 127.0.0.1:4001"); empty when not known.
    std::string scale;
};

// What is known when it ends.
struct TransferEnd {
    std::int64_t ended = 0;                            // UTC ms; 0: now
    TransferOutcome outcome = TransferOutcome::Failed; // Sent, Failed or Stopped
    // Where it ended: 0 before the first row (connecting, the start command),
    // 1..rows a row, rows + 1 the end command.
    int row = 0;
    int acknowledged = 0; // rows the scale acknowledged
    // The start command went out, so the scale may have begun replacing its
    // table (its acknowledgement may simply not have come back): a transfer
    // that then fails or stops leaves the table incomplete. Without it (the
    // link never opened) a failure leaves the previous table in place. From
    // the engine: any command sent. Sent implies it.
    bool startSent = false;
    int resends = 0;
    std::string message; // why it failed or stopped; may be empty
};

// A transfer as recorded.
struct TransferRecord {
    std::int64_t id = 0;
    std::int64_t started = 0;
    std::int64_t ended = 0; // 0 while running (or when its sender died)
    std::string target, name, path;
    std::int64_t size = 0;
    std::string sha256;
    int rows = 0;
    TableKind kind = TableKind::Product;
    TransferOutcome outcome = TransferOutcome::Running;
    int row = 0;
    int acknowledged = 0;
    bool startSent = false;
    int resends = 0;
    std::string message;
    std::string program;
    std::string scale; // as TransferStart::scale
    // Still "running", but the process that sent it is gone: it was killed or
    // its machine went down before it could record an end. `row` and
    // `acknowledged` are as far as it had recorded.
    bool interrupted = false;

    // Did this transfer leave the scale's table incomplete? Failed or stopped
    // after the start command went out, or never ended.
    bool LeftIncomplete() const;
};

// What a scale holds now of one kind of table.
struct Holding {
    std::string target;
    TableKind kind = TableKind::Product;
    std::string name; // of its newest transfer
    // The newest transfer that sent the whole table.
    std::optional<TransferRecord> complete;
    // The newest transfer after `complete` that left the table incomplete; set
    // means the scale's table is incomplete (`complete` is what it held before).
    std::optional<TransferRecord> broken;
    std::int64_t incompleteSince = 0; // start of the first such transfer after `complete`
    TransferRecord last;              // the newest transfer of any outcome (the board's "last result")
    // Other spellings of this scale the history recorded transfers under (their
    // transfers are counted in); set by whoever merges them.
    std::vector<std::string> alsoRecordedAs;

    bool Incomplete() const { return broken.has_value(); }
};

// The text a person reads for what a scale holds:
//   "/srv/shop/products.csv sha256 9f86d0…(64 digits) sent 2026-12-09 10:15:02"
//   "INCOMPLETE since 2026-12-09 10:15:02 (stopped at row 7)"
//   "INCOMPLETE since 2026-12-09 10:15:02 (failed at row 7)"
//   "INCOMPLETE since 2026-12-09 10:15:02 (no end recorded)"   still running, or not known
//   "INCOMPLETE since 2026-12-09 10:15:02 (interrupted at row 11 or later)"   its sender died
//   "no complete table recorded"
std::string DescribeHolding(const Holding& holding);
// "sent", "failed at row k", "stopped at row k", "running" or, when its sender
// is gone, "interrupted at row k or later". Row 0 and the row after the last are
// the start and end commands: "failed at the start command", "stopped at the end
// command", "failed before anything was sent" (the link never opened).
std::string DescribeOutcome(const TransferRecord& record);

enum class HistoryState {
    Closed,     // not opened yet, or closed
    Open,       // reads and writes
    ReadOnly,   // reads only: the file has no write permission
    Unavailable // nothing: see Error()
};

// Where the history lives: platform::DataDir() + "history.sqlite".
std::string HistoryPath();

class History {
public:
    // PRAGMA user_version of the files this program writes. Version 1 is
    // migrated on opening; a newer version is left alone (Unavailable).
    static constexpr int SchemaVersion = 3;

    History();
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Called once, with the first failure (of Open or of any later call).
    // Set it before Open.
    std::function<void(const std::string& error)> OnError;

    // Opens the database at `path`, creating it (and its folder) when missing
    // and migrating an older schema. Never throws.
    HistoryState Open(const std::string& path);
    void Close();
    HistoryState State() const { return FState; }
    // The first failure, empty when none: "history /path/history.sqlite: ...".
    const std::string& Error() const { return FError; }
    const std::string& Path() const { return FPath; }

    // Records a transfer that starts now (outcome "running"). Returns its id,
    // 0 when nothing was written.
    std::int64_t Begin(const TransferStart& start);
    // Records how the transfer `id` ended. Does nothing for id 0.
    void End(std::int64_t id, const TransferEnd& end);
    // Records how far the running transfer `id` got: `row` as TransferEnd::row,
    // `acknowledged` rows. Cheap (one small update), but the caller decides how often.
    void Progress(std::int64_t id, int row, int acknowledged);
    // Records a whole transfer in one write. Returns its id, or 0.
    std::int64_t Record(const TransferStart& start, const TransferEnd& end);

    // What every recorded scale holds now, one entry per target and kind of
    // table ever sent to it, ordered by target, products first.
    std::vector<Holding> Holdings();
    // The same for one target (at most two entries).
    std::vector<Holding> Holdings(const std::string& target);
    // Transfers newest first, to `target` or to every scale when it is empty;
    // at most `limit` (< 0: all).
    std::vector<TransferRecord> Transfers(const std::string& target = {}, int limit = -1);
    // Every recorded target with the same-scale key of its newest transfer ("" when it
    // recorded none), ordered by target.
    std::vector<std::pair<std::string, std::string>> RecordedScales();

private:
    struct Impl;
    bool Fail(const std::string& what);
    bool Report(const std::string& what);
    std::int64_t Insert(QSqlQuery& q);
    bool HoldingOf(const std::string& target, TableKind kind, std::vector<Holding>& out);
    bool Targets(std::vector<std::string>& targets);
    std::unique_ptr<Impl> FImpl;
    HistoryState FState = HistoryState::Closed;
    std::string FPath;
    std::string FError;
    bool FReported = false;
};

} // namespace scales
