#include "History.h"

#include <QByteArrayView>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Paths.h"
#include "platform/Process.h"

namespace scales {

namespace {

// Version 1, as it shipped: one row per transfer, no index.
constexpr const char* SchemaV1[] = {
    "CREATE TABLE transfers ("
    " id INTEGER PRIMARY KEY,"
    " started_ms INTEGER NOT NULL,"
    " ended_ms INTEGER,"
    " target TEXT NOT NULL,"
    " path TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " sha256 TEXT NOT NULL,"
    " row_count INTEGER NOT NULL,"
    " kind TEXT NOT NULL,"
    " outcome TEXT NOT NULL,"
    " end_row INTEGER NOT NULL DEFAULT 0,"
    " acknowledged INTEGER NOT NULL DEFAULT 0,"
    " resends INTEGER NOT NULL DEFAULT 0,"
    " message TEXT NOT NULL DEFAULT '')",
};

// Version 2: the scale's name, the sending program, whether the scale took the
// start command, and the indexes the status and the listing walk.
constexpr const char* UpgradeV1ToV2[] = {
    "ALTER TABLE transfers ADD COLUMN name TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE transfers ADD COLUMN program TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE transfers ADD COLUMN start_acked INTEGER NOT NULL DEFAULT 0",
    // Version 1 did not record it. Only a failure at the start command is
    // sure to have left the scale's table alone; anything else may have begun
    // replacing it, and calling a table incomplete is the safer mistake.
    "UPDATE transfers SET start_acked = NOT (outcome = 'failed' AND end_row = 0)",
    // Holds what the status looks at, so it never reads a table row it does
    // not show; id orders transfers that started in the same millisecond.
    "CREATE INDEX transfers_by_scale ON transfers (target, kind, started_ms, id, outcome, start_acked)",
    "CREATE INDEX transfers_by_start ON transfers (started_ms)",
};

// Version 3: who sent it (pid, its start after boot, the machine and its boot),
// so a transfer whose sender is gone is told from one still running, and what
// makes it the same scale as another spelling.
constexpr const char* UpgradeV2ToV3[] = {
    "ALTER TABLE transfers ADD COLUMN pid INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE transfers ADD COLUMN process_start INTEGER NOT NULL DEFAULT 0",
    "ALTER TABLE transfers ADD COLUMN boot TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE transfers ADD COLUMN scale TEXT NOT NULL DEFAULT ''",
    "CREATE INDEX transfers_by_same_scale ON transfers (scale, started_ms)",
};

constexpr const char* Columns = "id, started_ms, ended_ms, target, name, path, size, sha256, row_count, kind,"
                                " outcome, end_row, acknowledged, start_acked, resends, message, program,"
                                " pid, process_start, boot, scale";
// A read-only file of version 2 is read as it is: it cannot be upgraded.
constexpr const char* ColumnsV2 =
    "id, started_ms, ended_ms, target, name, path, size, sha256, row_count, kind,"
    " outcome, end_row, acknowledged, start_acked, resends, message, program,"
    " 0, 0, '', ''";

std::atomic<unsigned> ConnectionCounter{0};

// A nightly job and the window may write at once; each write is short.
constexpr int BusyTimeoutMs = 5000;

// Text that is UTF-8 is stored as TEXT, so the file reads well in any SQLite
// tool; other bytes (a Latin-1 file name) as a BLOB, so they come back as they were.
QVariant Bytes(const std::string& s) {
    const QByteArrayView view(s.data(), static_cast<qsizetype>(s.size()));
    if (view.isValidUtf8()) return QString::fromUtf8(view);
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

std::string StdString(const QVariant& v) {
    if (v.isNull()) return {};
    return v.toByteArray().toStdString();
}

TransferRecord ReadRecord(const QSqlQuery& q) {
    TransferRecord r;
    r.id = q.value(0).toLongLong();
    r.started = q.value(1).toLongLong();
    r.ended = q.value(2).isNull() ? 0 : q.value(2).toLongLong();
    r.target = StdString(q.value(3));
    r.name = StdString(q.value(4));
    r.path = StdString(q.value(5));
    r.size = q.value(6).toLongLong();
    r.sha256 = StdString(q.value(7));
    r.rows = q.value(8).toInt();
    r.kind = KindFromText(StdString(q.value(9))).value_or(TableKind::Product);
    // An outcome this program does not know: not a complete table.
    r.outcome = OutcomeFromText(StdString(q.value(10))).value_or(TransferOutcome::Failed);
    r.row = q.value(11).toInt();
    r.acknowledged = q.value(12).toInt();
    r.startSent = q.value(13).toInt() != 0;
    r.resends = q.value(14).toInt();
    r.message = StdString(q.value(15));
    r.program = StdString(q.value(16));
    r.scale = StdString(q.value(20));
    if (r.outcome == TransferOutcome::Running) {
        platform::ProcessIdentity sender;
        sender.pid = q.value(17).toInt();
        sender.start = q.value(18).toULongLong();
        sender.boot = StdString(q.value(19));
        r.interrupted = platform::StateOf(sender) == platform::ProcessState::Gone;
    }
    return r;
}

std::string AbsolutePath(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    std::error_code ec;
    auto abs = std::filesystem::absolute(path, ec);
    return ec ? path : abs.lexically_normal().string();
}

std::int64_t OrNow(std::int64_t ms) {
    return ms != 0 ? ms : NowUtcMs();
}

// SQLite's words for what a person must do something about, in ours; the
// rest as SQLite says it. Qt gives the primary or the extended result code.
std::string Words(const QSqlError& e) {
    bool known = false;
    const int code = e.nativeErrorCode().toInt(&known) & 0xff;
    const std::string detail = e.databaseText().toStdString();
    if (known) {
        switch (code) {
        case 13: // SQLITE_FULL
            return "disk full";
        case 11: // SQLITE_CORRUPT
        case 26: // SQLITE_NOTADB
            return "the history file is damaged (" + detail + ")";
        case 10: // SQLITE_IOERR
            return "the history file cannot be written (" + detail + "; is the disk full?)";
        case 8: // SQLITE_READONLY
            return "the history file is read-only (" + detail + ")";
        case 5: // SQLITE_BUSY
        case 6: // SQLITE_LOCKED
            return "another program held the history for more than 5 s (" + detail + ")";
        default:
            break;
        }
    }
    return e.text().toStdString();
}

} // namespace

const char* OutcomeText(TransferOutcome outcome) {
    switch (outcome) {
    case TransferOutcome::Running:
        return "running";
    case TransferOutcome::Sent:
        return "sent";
    case TransferOutcome::Failed:
        return "failed";
    case TransferOutcome::Stopped:
        return "stopped";
    }
    return "failed";
}

std::optional<TransferOutcome> OutcomeFromText(std::string_view text) {
    for (auto o :
         {TransferOutcome::Running, TransferOutcome::Sent, TransferOutcome::Failed, TransferOutcome::Stopped})
        if (text == OutcomeText(o)) return o;
    return std::nullopt;
}

const char* KindText(TableKind kind) {
    return kind == TableKind::User ? "user" : "product";
}

std::optional<TableKind> KindFromText(std::string_view text) {
    if (text == "product") return TableKind::Product;
    if (text == "user") return TableKind::User;
    return std::nullopt;
}

std::int64_t NowUtcMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

std::string FormatLocalTime(std::int64_t utcMs) {
    return QDateTime::fromMSecsSinceEpoch(utcMs).toString("yyyy-MM-dd HH:mm:ss").toStdString();
}

FileDigest DigestBytes(std::string_view bytes) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return {static_cast<std::int64_t>(bytes.size()), hash.result().toHex().toStdString()};
}

std::optional<FileDigest> DigestFile(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<FileDigest> {
        if (error) *error = path + ": " + why;
        return std::nullopt;
    };
    // Non-blocking, so that a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail("not a regular file");
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::string buf(256 * 1024, '\0');
    std::int64_t size = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            return fail(std::strerror(err));
        }
        if (n == 0) break;
        hash.addData(QByteArrayView(buf.data(), static_cast<qsizetype>(n)));
        size += n;
    }
    ::close(fd);
    return FileDigest{size, hash.result().toHex().toStdString()};
}

bool TransferRecord::LeftIncomplete() const {
    switch (outcome) {
    case TransferOutcome::Sent:
        return false;
    case TransferOutcome::Running:
        return true;
    case TransferOutcome::Failed:
    case TransferOutcome::Stopped:
        return startSent;
    }
    return true;
}

namespace {

// Where a transfer that broke off stood: row 0 is the start command (or nothing sent
// at all), the row after the last one the end command.
std::string Where(const TransferRecord& record) {
    if (record.row <= 0) return record.startSent ? "at the start command" : "before anything was sent";
    if (record.row > record.rows) return "at the end command";
    return "at row " + std::to_string(record.row);
}

} // namespace

std::string DescribeOutcome(const TransferRecord& record) {
    switch (record.outcome) {
    case TransferOutcome::Sent:
        return "sent";
    case TransferOutcome::Running:
        // It may have gone further after it last recorded its row.
        if (record.interrupted) return "interrupted at row " + std::to_string(record.row) + " or later";
        return "running";
    case TransferOutcome::Failed:
        return "failed " + Where(record);
    case TransferOutcome::Stopped:
        return "stopped " + Where(record);
    }
    return {};
}

std::string DescribeHolding(const Holding& holding) {
    if (holding.broken) {
        const std::string why =
            holding.broken->outcome == TransferOutcome::Running && !holding.broken->interrupted
                ? std::string("no end recorded")
                : DescribeOutcome(*holding.broken);
        return "INCOMPLETE since " + FormatLocalTime(holding.incompleteSince) + " (" + why + ")";
    }
    if (holding.complete) {
        const auto& c = *holding.complete;
        return c.path + " sha256 " + c.sha256 + " sent " + FormatLocalTime(c.ended ? c.ended : c.started);
    }
    return "no complete table recorded";
}

std::string HistoryPath() {
    return platform::DataDir() + "history.sqlite";
}

// --- History ---------------------------------------------------------------

struct History::Impl {
    QString connection;
    QSqlDatabase db;
    // Prepared once: recording a transfer must stay cheap.
    std::optional<QSqlQuery> begin, end, record, progress;
    std::optional<QSqlQuery> newest, broken, byId;
    QString columns = QString::fromLatin1(Columns);

    void Reset() {
        progress.reset();
        begin.reset();
        end.reset();
        record.reset();
        newest.reset();
        broken.reset();
        byId.reset();
        if (db.isValid()) db.close();
        db = QSqlDatabase();
        if (!connection.isEmpty()) QSqlDatabase::removeDatabase(connection);
        connection.clear();
    }
};

History::History() : FImpl(std::make_unique<Impl>()) {}

History::~History() {
    Close();
}

bool History::Fail(const std::string& what) {
    FState = HistoryState::Unavailable;
    return Report(what);
}

// A write that failed once the history was open (busy past the time-out, a
// full disk) is reported, but the next transfer's record is tried all the
// same: one failed write must not leave every later scale "running".
bool History::Report(const std::string& what) {
    if (FError.empty()) FError = "history " + FPath + ": " + what;
    if (!FReported) {
        FReported = true;
        if (OnError) OnError(FError);
    }
    return false;
}

void History::Close() {
    FImpl->Reset();
    FState = HistoryState::Closed;
}

HistoryState History::Open(const std::string& path) {
    Close();
    FPath = AbsolutePath(path);
    FError.clear();
    FReported = false;

    const auto slash = FPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : FPath.substr(0, slash + 1);
    if (!QDir().mkpath(QString::fromStdString(folder))) {
        Fail("cannot create the folder");
        return FState;
    }
    // A user who took away the write permission meant the file to stay as it
    // is; its records can still be read. Root passes every access check, so
    // the mode bits are asked too.
    bool readOnly = false;
    struct stat st {};
    if (::stat(FPath.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            Fail("not a regular file");
            return FState;
        }
        readOnly = (st.st_mode & 0222) == 0 || ::access(FPath.c_str(), W_OK) != 0;
    }

    Impl& d = *FImpl;
    d.connection = QStringLiteral("scaledb-history-%1").arg(ConnectionCounter.fetch_add(1));
    d.db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), d.connection);
    if (!d.db.isValid()) {
        Fail("Qt's SQLite driver (QSQLITE) is not installed");
        return FState;
    }
    d.db.setDatabaseName(QString::fromStdString(FPath));
    const QString busy = QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMs);
    d.db.setConnectOptions(readOnly ? busy + ";QSQLITE_OPEN_READONLY" : busy);
    if (!d.db.open()) {
        Fail(Words(d.db.lastError()));
        return FState;
    }

    QSqlQuery q(d.db);
    auto run = [&](const QString& sql) {
        if (q.exec(sql)) return true;
        return Fail(Words(q.lastError()));
    };

    // After a failed statement: leave nothing half-created behind.
    auto rollback = [&] {
        QSqlQuery(d.db).exec("ROLLBACK");
        return FState;
    };
    QVariant v;
    // Refuses what this program must not change: a corrupt file (its first
    // read fails), someone else's database, a newer schema.
    auto knownVersion = [&](int& version) {
        // One statement, so that both come from one state of the file.
        if (!run("SELECT (SELECT user_version FROM pragma_user_version),"
                 " (SELECT count(*) FROM sqlite_master)"))
            return false;
        if (!q.next()) return Fail("cannot read the schema version");
        version = q.value(0).toInt();
        const int objects = q.value(1).toInt();
        q.finish();
        if (version > SchemaVersion)
            return Fail("written by a newer program (schema version " + std::to_string(version) +
                        ", this program knows " + std::to_string(SchemaVersion) + ")");
        if (version == 0 && objects != 0)
            return Fail("not a transfer history (a database without a schema version)");
        return true;
    };
    int version = 0;
    if (!knownVersion(version)) return FState;
    if (readOnly && version < 2) {
        Fail("the file is read-only and of schema version " + std::to_string(version) +
             ", which this program reads only after upgrading it");
        return FState;
    }
    if (!readOnly) {
        // Switching a new file to WAL takes a lock for which SQLite calls no
        // busy handler: another program opening it at the same moment makes
        // it fail at once, so it is tried again for the busy time-out.
        QElapsedTimer waited;
        waited.start();
        while (!q.exec("PRAGMA journal_mode=WAL")) {
            if (q.lastError().nativeErrorCode() != QLatin1String("5") || waited.elapsed() > BusyTimeoutMs) {
                Fail(Words(q.lastError()));
                return FState;
            }
            QThread::msleep(5);
        }
        v = q.next() ? q.value(0) : QVariant();
        q.finish();
        if (v.toString().compare("wal", Qt::CaseInsensitive) != 0) {
            Fail("cannot use a write-ahead log (journal mode " + v.toString().toStdString() + ")");
            return FState;
        }
        if (!run("PRAGMA synchronous=NORMAL")) return FState;
        // Creating and migrating under the write lock, asking again there: of
        // two programs that open a new file at once, one creates it.
        if (!run("BEGIN IMMEDIATE")) return FState;
        if (!knownVersion(version)) return rollback();
        if (version == 0) {
            for (const char* sql : SchemaV1)
                if (!run(sql)) return rollback();
            version = 1;
        }
        if (version == 1) {
            for (const char* sql : UpgradeV1ToV2)
                if (!run(sql)) return rollback();
            version = 2;
        }
        if (version == 2) {
            for (const char* sql : UpgradeV2ToV3)
                if (!run(sql)) return rollback();
            if (!run(QStringLiteral("PRAGMA user_version=%1").arg(SchemaVersion))) return rollback();
            version = SchemaVersion;
        }
        if (!run("COMMIT")) return rollback();
    }

    d.columns = QString::fromLatin1(version >= 3 ? Columns : ColumnsV2);
    // The status: per scale and kind the newest transfer, the newest complete
    // one, and those after it that left the table incomplete, from the index alone.
    const QString scale = QStringLiteral(" FROM transfers WHERE target = :t AND kind = :k");
    const QString newestFirst = QStringLiteral(" ORDER BY started_ms DESC, id DESC");
    bool reads = true;
    for (auto [query, sql] : {
             std::pair{&d.newest, "SELECT (SELECT id" + scale + newestFirst +
                                      " LIMIT 1), s.id, s.started_ms"
                                      " FROM (SELECT 1) LEFT JOIN (SELECT id, started_ms" +
                                      scale + " AND outcome = 'sent'" + newestFirst + " LIMIT 1) s ON 1"},
             std::pair{&d.broken, "SELECT id, started_ms" + scale +
                                      " AND started_ms >= :s AND outcome <> 'sent'"
                                      " AND (outcome = 'running' OR start_acked <> 0)" +
                                      newestFirst},
             std::pair{&d.byId,
                       QStringLiteral("SELECT %1 FROM transfers WHERE id IN (:a, :b, :c)").arg(d.columns)},
         }) {
        query->emplace(d.db);
        (*query)->setForwardOnly(true);
        reads = reads && (*query)->prepare(sql);
    }
    if (!reads) {
        Fail("cannot prepare the queries of the history");
        return FState;
    }
    if (readOnly) {
        FState = HistoryState::ReadOnly;
        FError = "history " + FPath + ": the file is read-only: transfers are not recorded";
        FReported = true;
        if (OnError) OnError(FError);
        return FState;
    }
    d.begin.emplace(d.db);
    d.end.emplace(d.db);
    d.record.emplace(d.db);
    d.progress.emplace(d.db);
    const bool prepared =
        d.begin->prepare(
            "INSERT INTO transfers (started_ms, target, name, path, size, sha256, row_count, kind,"
            " scale, pid, process_start, boot, outcome, program)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 'running', ?)") &&
        d.progress->prepare(
            "UPDATE transfers SET end_row = ?, acknowledged = ? WHERE id = ? AND outcome = 'running'") &&
        d.end->prepare("UPDATE transfers SET ended_ms = ?, outcome = ?, end_row = ?, acknowledged = ?,"
                       " start_acked = ?, resends = ?, message = ? WHERE id = ?") &&
        d.record->prepare(
            "INSERT INTO transfers (started_ms, target, name, path, size, sha256, row_count, kind,"
            " scale, pid, process_start, boot,"
            " program, ended_ms, outcome, end_row, acknowledged, start_acked, resends, message)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    if (!prepared) {
        Fail("cannot prepare the statements of the history");
        return FState;
    }
    FState = HistoryState::Open;
    return FState;
}

namespace {
void BindStart(QSqlQuery& q, const TransferStart& s) {
    q.addBindValue(static_cast<qlonglong>(OrNow(s.started)));
    q.addBindValue(Bytes(s.target));
    q.addBindValue(Bytes(s.name));
    q.addBindValue(Bytes(AbsolutePath(s.path)));
    q.addBindValue(static_cast<qlonglong>(s.size));
    q.addBindValue(Bytes(s.sha256));
    q.addBindValue(s.rows);
    q.addBindValue(QString::fromLatin1(KindText(s.kind)));
    q.addBindValue(Bytes(s.scale));
    const platform::ProcessIdentity self = platform::ThisProcess();
    q.addBindValue(self.pid);
    q.addBindValue(static_cast<qulonglong>(self.start));
    q.addBindValue(Bytes(self.boot));
}

void BindEnd(QSqlQuery& q, const TransferEnd& e) {
    q.addBindValue(static_cast<qlonglong>(OrNow(e.ended)));
    // Running is no end: whoever ends a transfer says how.
    const TransferOutcome outcome =
        e.outcome == TransferOutcome::Running ? TransferOutcome::Failed : e.outcome;
    q.addBindValue(QString::fromLatin1(OutcomeText(outcome)));
    q.addBindValue(e.row);
    q.addBindValue(e.acknowledged);
    q.addBindValue(outcome == TransferOutcome::Sent || e.startSent ? 1 : 0);
    q.addBindValue(e.resends);
    q.addBindValue(Bytes(e.message));
}
} // namespace

// Runs a prepared insert: the new row's id, or 0 when it failed (reported).
std::int64_t History::Insert(QSqlQuery& q) {
    const std::int64_t id = q.exec() ? q.lastInsertId().toLongLong() : 0;
    if (id == 0) Report(Words(q.lastError()));
    q.finish();
    return id;
}

std::int64_t History::Begin(const TransferStart& start) {
    if (FState != HistoryState::Open) return 0;
    QSqlQuery& q = *FImpl->begin;
    BindStart(q, start);
    q.addBindValue(Bytes(start.program));
    return Insert(q);
}

void History::End(std::int64_t id, const TransferEnd& end) {
    if (FState != HistoryState::Open || id <= 0) return;
    QSqlQuery& q = *FImpl->end;
    BindEnd(q, end);
    q.addBindValue(static_cast<qlonglong>(id));
    if (!q.exec()) Report(Words(q.lastError()));
    q.finish();
}

void History::Progress(std::int64_t id, int row, int acknowledged) {
    if (FState != HistoryState::Open || id <= 0) return;
    QSqlQuery& q = *FImpl->progress;
    q.addBindValue(row);
    q.addBindValue(acknowledged);
    q.addBindValue(static_cast<qlonglong>(id));
    if (!q.exec()) Report(Words(q.lastError()));
    q.finish();
}

std::int64_t History::Record(const TransferStart& start, const TransferEnd& end) {
    if (FState != HistoryState::Open) return 0;
    QSqlQuery& q = *FImpl->record;
    BindStart(q, start);
    q.addBindValue(Bytes(start.program));
    BindEnd(q, end);
    return Insert(q);
}

bool History::HoldingOf(const std::string& target, TableKind kind, std::vector<Holding>& out) {
    Impl& d = *FImpl;
    const QVariant t = Bytes(target);
    const QVariant k = QString::fromLatin1(KindText(kind));
    auto select = [&](QSqlQuery& q) {
        q.bindValue(":t", t);
        q.bindValue(":k", k);
        return q.exec() || Fail(Words(q.lastError()));
    };
    QSqlQuery& n = *d.newest;
    if (!select(n)) return false;
    if (!n.next() || n.value(0).isNull()) return n.finish(), true; // nothing of this kind sent to it
    const std::int64_t newestId = n.value(0).toLongLong();
    const std::int64_t sentId = n.value(1).isNull() ? 0 : n.value(1).toLongLong();
    const std::int64_t sentStarted =
        n.value(2).isNull() ? std::numeric_limits<std::int64_t>::min() : n.value(2).toLongLong();
    n.finish();

    // Newest first: the first is what the scale shows, the last when it began.
    QSqlQuery& b = *d.broken;
    b.bindValue(":s", static_cast<qlonglong>(sentStarted));
    if (!select(b)) return false;
    std::int64_t brokenId = 0, since = 0;
    while (b.next()) {
        const std::int64_t id = b.value(0).toLongLong(), started = b.value(1).toLongLong();
        if (started == sentStarted && id < sentId) continue; // before the complete one, in its millisecond
        if (brokenId == 0) brokenId = id;
        since = started;
    }
    b.finish();

    QSqlQuery& r = *d.byId;
    r.bindValue(":a", static_cast<qlonglong>(newestId));
    r.bindValue(":b", static_cast<qlonglong>(sentId));
    r.bindValue(":c", static_cast<qlonglong>(brokenId));
    if (!r.exec()) return Fail(Words(r.lastError()));
    Holding h;
    h.target = target;
    h.kind = kind;
    while (r.next()) {
        TransferRecord one = ReadRecord(r);
        if (one.id == sentId) h.complete = one;
        if (one.id == brokenId) {
            h.broken = one;
            h.incompleteSince = since;
        }
        if (one.id == newestId) h.last = std::move(one);
    }
    r.finish();
    h.name = h.last.name;
    out.push_back(std::move(h));
    return true;
}

std::vector<Holding> History::Holdings(const std::string& target) {
    std::vector<Holding> out;
    if (FState != HistoryState::Open && FState != HistoryState::ReadOnly) return out;
    for (TableKind kind : {TableKind::Product, TableKind::User})
        if (!HoldingOf(target, kind, out)) return {};
    return out;
}

bool History::Targets(std::vector<std::string>& targets) {
    // Every target once, one index step each rather than a scan of all transfers.
    QSqlQuery q(FImpl->db);
    q.setForwardOnly(true);
    if (!q.exec("WITH RECURSIVE t(target) AS (SELECT (SELECT min(target) FROM transfers)"
                " UNION ALL SELECT (SELECT min(target) FROM transfers WHERE target > t.target)"
                " FROM t WHERE t.target IS NOT NULL)"
                " SELECT target FROM t WHERE target IS NOT NULL"))
        return Fail(Words(q.lastError()));
    while (q.next())
        targets.push_back(StdString(q.value(0)));
    return true;
}

std::vector<Holding> History::Holdings() {
    std::vector<Holding> out;
    if (FState != HistoryState::Open && FState != HistoryState::ReadOnly) return out;
    std::vector<std::string> targets;
    if (!Targets(targets)) return out;
    for (const auto& t : targets)
        for (TableKind kind : {TableKind::Product, TableKind::User})
            if (!HoldingOf(t, kind, out)) return {};
    return out;
}

std::vector<TransferRecord> History::Transfers(const std::string& target, int limit) {
    std::vector<TransferRecord> out;
    if (FState != HistoryState::Open && FState != HistoryState::ReadOnly) return out;
    QSqlQuery q(FImpl->db);
    q.setForwardOnly(true);
    const QString where = target.empty() ? QString() : QStringLiteral(" WHERE target = ?");
    q.prepare(QStringLiteral("SELECT %1 FROM transfers%2 ORDER BY started_ms DESC, id DESC LIMIT ?")
                  .arg(FImpl->columns, where));
    if (!target.empty()) q.addBindValue(Bytes(target));
    q.addBindValue(limit < 0 ? -1 : limit);
    if (!q.exec()) {
        Fail(Words(q.lastError()));
        return out;
    }
    while (q.next())
        out.push_back(ReadRecord(q));
    return out;
}

std::vector<std::pair<std::string, std::string>> History::RecordedScales() {
    std::vector<std::pair<std::string, std::string>> out;
    if (FState != HistoryState::Open && FState != HistoryState::ReadOnly) return out;
    // Every target once, then the newest transfer of each kind: index steps, no scan.
    std::vector<std::string> targets;
    if (!Targets(targets)) return out;
    QSqlQuery n(FImpl->db);
    n.setForwardOnly(true);
    // A read-only file of version 2 has no such column.
    const bool v2 = FImpl->columns == QLatin1String(ColumnsV2);
    if (!n.prepare(QStringLiteral("SELECT started_ms, id, %1 FROM transfers WHERE target = ? AND kind = ?"
                                  " ORDER BY started_ms DESC, id DESC LIMIT 1")
                       .arg(v2 ? QStringLiteral("''") : QStringLiteral("scale")))) {
        Fail(Words(n.lastError()));
        return out;
    }
    for (const std::string& target : targets) {
        const QVariant t = Bytes(target);
        std::pair<qlonglong, qlonglong> newest{std::numeric_limits<qlonglong>::min(), 0};
        std::string scale;
        for (TableKind kind : {TableKind::Product, TableKind::User}) {
            n.addBindValue(t);
            n.addBindValue(QString::fromLatin1(KindText(kind)));
            if (!n.exec()) {
                Fail(Words(n.lastError()));
                return {};
            }
            if (n.next()) {
                const std::pair<qlonglong, qlonglong> at{n.value(0).toLongLong(), n.value(1).toLongLong()};
                if (at > newest) {
                    newest = at;
                    scale = StdString(n.value(2));
                }
            }
            n.finish();
        }
        out.emplace_back(target, std::move(scale));
    }
    return out;
}

} // namespace scales
