#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "HistoryWriter.h"
#include "platform/AtomicFile.h"
#include "scales/History.h"

using namespace scales;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs statements on a file through a connection of its own, as another
// program (or an older version of this one) would.
QVariant RawSql(const std::string& path, const std::vector<std::string>& statements) {
    QVariant last;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "raw");
        db.setDatabaseName(QString::fromStdString(path));
        EXPECT_TRUE(db.open());
        QSqlQuery q(db);
        for (const auto& s : statements) {
            EXPECT_TRUE(q.exec(QString::fromStdString(s))) << s;
            last = q.next() ? q.value(0) : QVariant();
        }
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("raw");
    return last;
}

TransferStart Start(const std::string& target, std::int64_t started, TableKind kind = TableKind::Product) {
    TransferStart s;
    s.started = started;
    s.target = target;
    s.name = "Deli counter";
    s.path = "/srv/tables/products.csv";
    s.size = 4096;
    s.sha256 = DigestBytes("table at " + std::to_string(started)).sha256;
    s.rows = 20;
    s.kind = kind;
    s.program = "scaledb";
    return s;
}

TransferEnd End(TransferOutcome outcome, int row, bool startAcked, std::int64_t ended) {
    TransferEnd e;
    e.ended = ended;
    e.outcome = outcome;
    e.row = row;
    e.acknowledged = outcome == TransferOutcome::Sent ? 20 : std::max(0, row - 1);
    e.startSent = startAcked;
    e.message = outcome == TransferOutcome::Sent ? "" : "no reply";
    return e;
}

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FDir.isValid());
        FPath = FDir.path().toStdString() + "/data/history.sqlite";
    }
    QTemporaryDir FDir;
    std::string FPath;
};

TEST_F(HistoryTest, RecordsATransferWhenItStartsAndHowItEnded) {
    History h;
    ASSERT_EQ(h.Open(FPath), HistoryState::Open) << h.Error();
    EXPECT_TRUE(h.Error().empty());
    EXPECT_EQ(RawSql(FPath, {"PRAGMA journal_mode"}).toString(), "wal");

    TransferStart s = Start("serial:/dev/ttyUSB0@9600,8N1", 1'765'000'000'123);
    s.name = "Käse – Theke";
    s.path = "tables/Caf\xE9.csv"; // a Latin-1 file name, relative
    s.kind = TableKind::User;
    const std::int64_t id = h.Begin(s);
    ASSERT_GT(id, 0);
    auto list = h.Transfers();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].outcome, TransferOutcome::Running);
    EXPECT_EQ(list[0].ended, 0);

    TransferEnd e = End(TransferOutcome::Stopped, 7, true, 1'765'000'004'567);
    e.resends = 3;
    e.message = "stopped by the user";
    h.End(id, e);
    list = h.Transfers("serial:/dev/ttyUSB0@9600,8N1", 10);
    ASSERT_EQ(list.size(), 1u);
    const TransferRecord& r = list[0];
    EXPECT_EQ(r.id, id);
    EXPECT_EQ(r.started, 1'765'000'000'123);
    EXPECT_EQ(r.ended, 1'765'000'004'567);
    EXPECT_EQ(r.target, "serial:/dev/ttyUSB0@9600,8N1");
    EXPECT_EQ(r.name, "Käse – Theke");
    EXPECT_EQ(r.path, QDir::currentPath().toStdString() + "/tables/Caf\xE9.csv");
    EXPECT_EQ(r.size, 4096);
    EXPECT_EQ(r.sha256, s.sha256);
    EXPECT_EQ(r.rows, 20);
    EXPECT_EQ(r.kind, TableKind::User);
    EXPECT_EQ(r.outcome, TransferOutcome::Stopped);
    EXPECT_EQ(r.row, 7);
    EXPECT_EQ(r.acknowledged, 6);
    EXPECT_TRUE(r.startSent);
    EXPECT_EQ(r.resends, 3);
    EXPECT_EQ(r.message, "stopped by the user");
    EXPECT_EQ(r.program, "scaledb");
    EXPECT_EQ(DescribeOutcome(r), "stopped at row 7");
    EXPECT_TRUE(h.Transfers("tcp:192.0.2.1:4001").empty());

    // Newest first, to one scale or all, with a limit.
    h.Record(Start("tcp:192.0.2.1:4001", 1'765'000'010'000),
             End(TransferOutcome::Sent, 21, true, 1'765'000'011'000));
    h.Record(Start("tcp:192.0.2.1:4001", 1'765'000'020'000),
             End(TransferOutcome::Failed, 0, false, 1'765'000'021'000));
    list = h.Transfers({}, 2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].started, 1'765'000'020'000);
    EXPECT_EQ(list[1].started, 1'765'000'010'000);
    EXPECT_EQ(h.Transfers().size(), 3u);
    EXPECT_EQ(h.Transfers("tcp:192.0.2.1:4001").size(), 2u);
}

TEST_F(HistoryTest, ScaleHoldsItsLastCompleteTableUntilATransferItAcknowledgedBreaksOff) {
    History h;
    ASSERT_EQ(h.Open(FPath), HistoryState::Open) << h.Error();
    const std::string deli = "tcp:192.0.2.10:4001";
    const std::int64_t t = 1'765'000'000'000;
    EXPECT_TRUE(h.Holdings(deli).empty());

    h.Record(Start(deli, t), End(TransferOutcome::Sent, 21, true, t + 1000));
    // Refused at the start command: the scale never began replacing its table.
    h.Record(Start(deli, t + 2000), End(TransferOutcome::Failed, 0, false, t + 2100));
    auto held = h.Holdings(deli);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_FALSE(held[0].Incomplete());
    ASSERT_TRUE(held[0].complete);
    EXPECT_EQ(held[0].complete->started, t);
    EXPECT_EQ(held[0].last.started, t + 2000);
    EXPECT_EQ(DescribeHolding(held[0]), "/srv/tables/products.csv sha256 " + held[0].complete->sha256 +
                                            " sent " + FormatLocalTime(t + 1000));

    // Stopped after the start was acknowledged, then failed mid-table: incomplete
    // since the first of them, and the newest one says where it ended.
    h.Record(Start(deli, t + 3000), End(TransferOutcome::Stopped, 7, true, t + 3500));
    h.Record(Start(deli, t + 4000), End(TransferOutcome::Failed, 0, false, t + 4100));
    h.Record(Start(deli, t + 5000), End(TransferOutcome::Failed, 12, true, t + 5500));
    held = h.Holdings(deli);
    ASSERT_EQ(held.size(), 1u);
    ASSERT_TRUE(held[0].Incomplete());
    EXPECT_EQ(held[0].incompleteSince, t + 3000);
    EXPECT_EQ(held[0].broken->row, 12);
    EXPECT_EQ(held[0].complete->started, t);
    EXPECT_EQ(DescribeHolding(held[0]),
              "INCOMPLETE since " + FormatLocalTime(t + 3000) + " (failed at row 12)");

    // The user table is a table of its own; products stay incomplete.
    h.Record(Start(deli, t + 6000, TableKind::User), End(TransferOutcome::Sent, 5, true, t + 6100));
    held = h.Holdings(deli);
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].kind, TableKind::Product);
    EXPECT_TRUE(held[0].Incomplete());
    EXPECT_EQ(held[1].kind, TableKind::User);
    EXPECT_FALSE(held[1].Incomplete());

    // A whole table again: complete, whatever came before.
    h.Record(Start(deli, t + 7000), End(TransferOutcome::Sent, 21, true, t + 7700));
    held = h.Holdings(deli);
    EXPECT_FALSE(held[0].Incomplete());
    EXPECT_EQ(held[0].complete->started, t + 7000);

    // A link that never opened leaves that table; a start the scale refused may have begun
    // replacing it, so the table is incomplete, and the words say it broke off at the start.
    h.Record(Start(deli, t + 8000), End(TransferOutcome::Failed, 0, false, t + 8100));
    EXPECT_FALSE(h.Holdings(deli)[0].Incomplete());
    h.Record(Start(deli, t + 9000), End(TransferOutcome::Failed, 0, true, t + 9100));
    EXPECT_EQ(DescribeHolding(h.Holdings(deli)[0]),
              "INCOMPLETE since " + FormatLocalTime(t + 9000) + " (failed at the start command)");

    // A scale that never got a whole table.
    const std::string fish = "udp:192.0.2.11:4001";
    h.Record(Start(fish, t), End(TransferOutcome::Failed, 0, false, t + 100));
    held = h.Holdings(fish);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(DescribeHolding(held[0]), "no complete table recorded");
    h.Record(Start(fish, t + 200), End(TransferOutcome::Stopped, 3, true, t + 300));
    EXPECT_EQ(DescribeHolding(h.Holdings(fish)[0]),
              "INCOMPLETE since " + FormatLocalTime(t + 200) + " (stopped at row 3)");

    // Every scale, ordered by target.
    const auto all = h.Holdings();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].target, deli);
    EXPECT_EQ(all[2].target, fish);
}

TEST_F(HistoryTest, TransferWhoseSenderDiedLeavesTheScaleIncomplete) {
    {
        History h;
        ASSERT_EQ(h.Open(FPath), HistoryState::Open);
        h.Record(Start("tcp:192.0.2.10:4001", 1'765'000'000'000),
                 End(TransferOutcome::Sent, 21, true, 1'765'000'001'000));
    }
    QProcess writer;
    StartHistoryWriter(writer, FPath, 1, "tcp:192.0.2.10:4001", true);
    ASSERT_TRUE(writer.waitForFinished(30000));
    ASSERT_EQ(writer.exitCode(), 0);

    History h;
    ASSERT_EQ(h.Open(FPath), HistoryState::Open);
    const auto held = h.Holdings("tcp:192.0.2.10:4001");
    ASSERT_EQ(held.size(), 1u);
    ASSERT_TRUE(held[0].Incomplete());
    EXPECT_EQ(held[0].broken->outcome, TransferOutcome::Running);
    EXPECT_EQ(held[0].broken->program, "scaledb-send");
    // Its sender is gone: not "running" for ever, and as far as it had recorded.
    EXPECT_TRUE(held[0].broken->interrupted);
    EXPECT_EQ(held[0].broken->acknowledged, 10);
    EXPECT_EQ(DescribeOutcome(*held[0].broken), "interrupted at row 11 or later");
    EXPECT_EQ(DescribeHolding(held[0]), "INCOMPLETE since " + FormatLocalTime(held[0].incompleteSince) +
                                            " (interrupted at row 11 or later)");

    // A transfer whose sender still runs is running, with its progress.
    const std::int64_t id = h.Begin(Start("tcp:192.0.2.11:4001", 1'765'000'002'000));
    h.Progress(id, 5, 4);
    const auto running = h.Holdings("tcp:192.0.2.11:4001");
    ASSERT_EQ(running.size(), 1u);
    EXPECT_FALSE(running[0].broken->interrupted);
    EXPECT_EQ(running[0].broken->row, 5);
    EXPECT_EQ(DescribeOutcome(*running[0].broken), "running");
    EXPECT_EQ(DescribeHolding(running[0]),
              "INCOMPLETE since " + FormatLocalTime(1'765'000'002'000) + " (no end recorded)");
    // Progress never rewrites an end.
    h.End(id, End(TransferOutcome::Sent, 21, true, 1'765'000'003'000));
    h.Progress(id, 6, 5);
    EXPECT_EQ(h.Transfers("tcp:192.0.2.11:4001")[0].outcome, TransferOutcome::Sent);
    EXPECT_EQ(h.Transfers("tcp:192.0.2.11:4001")[0].row, 21);
}

TEST_F(HistoryTest, TwoProgramsAndTwoThreadsWriteOneFileAtOnce) {
    // Both programs create the file: neither may find it half made.
    QProcess a, b;
    StartHistoryWriter(a, FPath, 150, "tcp:127.0.0.1:4001");
    StartHistoryWriter(b, FPath, 150, "tcp:127.0.0.1:4002");
    auto writeInThread = [this](const std::string& target, int& errors) {
        History h;
        h.OnError = [&](const std::string& e) {
            ++errors;
            ADD_FAILURE() << e;
        };
        if (h.Open(FPath) != HistoryState::Open) return;
        for (int n = 0; n < 100; ++n) {
            const auto id = h.Begin(WriterStart(target, n));
            h.End(id, End(TransferOutcome::Sent, 21, true, 0));
        }
    };
    int errors1 = 0, errors2 = 0;
    std::thread t1(writeInThread, "tcp:127.0.0.1:4003", std::ref(errors1));
    std::thread t2(writeInThread, "tcp:127.0.0.1:4004", std::ref(errors2));
    t1.join();
    t2.join();
    ASSERT_TRUE(a.waitForFinished(60000));
    ASSERT_TRUE(b.waitForFinished(60000));
    EXPECT_EQ(a.exitCode(), 0);
    EXPECT_EQ(b.exitCode(), 0);
    EXPECT_EQ(errors1, 0);
    EXPECT_EQ(errors2, 0);

    History h;
    ASSERT_EQ(h.Open(FPath), HistoryState::Open);
    EXPECT_EQ(h.Transfers().size(), 500u);
    EXPECT_EQ(h.Transfers("tcp:127.0.0.1:4002").size(), 150u);
    EXPECT_EQ(h.Transfers("tcp:127.0.0.1:4004").size(), 100u);
    const auto held = h.Holdings();
    ASSERT_EQ(held.size(), 4u);
    for (const auto& one : held)
        EXPECT_FALSE(one.Incomplete()) << one.target;
}

TEST_F(HistoryTest, ReadOnlyFileIsReadButNeverWrittenAndSaysSoOnce) {
    {
        History h;
        ASSERT_EQ(h.Open(FPath), HistoryState::Open);
        h.Record(Start("tcp:192.0.2.10:4001", 1'765'000'000'000),
                 End(TransferOutcome::Sent, 21, true, 1'765'000'001'000));
    }
    ASSERT_EQ(::chmod(FPath.c_str(), 0444), 0);
    const std::string before = ReadFile(FPath);

    History h;
    std::vector<std::string> reported;
    h.OnError = [&](const std::string& e) { reported.push_back(e); };
    EXPECT_EQ(h.Open(FPath), HistoryState::ReadOnly);
    EXPECT_NO_THROW({
        EXPECT_EQ(h.Begin(Start("tcp:192.0.2.10:4001", 1'765'000'002'000)), 0);
        h.End(1, End(TransferOutcome::Stopped, 3, true, 0));
        EXPECT_EQ(h.Record(Start("tcp:192.0.2.10:4001", 0), End(TransferOutcome::Sent, 21, true, 0)), 0);
    });
    ASSERT_EQ(h.Holdings().size(), 1u);
    EXPECT_FALSE(h.Holdings()[0].Incomplete());
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0], "history " + FPath + ": the file is read-only: transfers are not recorded");
    EXPECT_EQ(h.Error(), reported[0]);
    h.Close();
    EXPECT_TRUE(ReadFile(FPath) == before) << "the file was changed";
}

TEST_F(HistoryTest, HistoryThatCannotBeOpenedNeverStopsATransfer) {
    struct Case {
        const char* what;
        std::string path;
        std::string errorPart;
    };
    const std::string root = FDir.path().toStdString();
    // Garbage where the database should be.
    platform::WriteFileAtomically(root + "/corrupt.sqlite", std::string(8192, '\x5a'));
    // Someone else's database, and one from a newer program: left as they are.
    RawSql(root + "/other.sqlite", {"CREATE TABLE orders (id INTEGER)"});
    RawSql(root + "/newer.sqlite", {"CREATE TABLE transfers (id INTEGER)", "PRAGMA user_version = 4"});
    ::mkdir((root + "/folder.sqlite").c_str(), 0700);
    std::vector<Case> cases = {
        {"corrupt", root + "/corrupt.sqlite", ": the history file is damaged (file is not a database)"},
        {"other", root + "/other.sqlite", "not a transfer history"},
        {"newer", root + "/newer.sqlite", "schema version 4, this program knows 3"},
        {"folder", root + "/folder.sqlite", "not a regular file"},
        // Folders nobody may create anything in (root included).
        {"folder that cannot be made", "/proc/scaledb-test/history.sqlite", "cannot create the folder"},
        {"folder that takes no file", "/proc/history.sqlite", "unable to open"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = ReadFile(c.path);
        History h;
        int reported = 0;
        h.OnError = [&](const std::string&) { ++reported; };
        EXPECT_NO_THROW({
            EXPECT_EQ(h.Open(c.path), HistoryState::Unavailable);
            EXPECT_EQ(h.Begin(Start("tcp:192.0.2.10:4001", 0)), 0);
            h.End(1, End(TransferOutcome::Sent, 21, true, 0));
            EXPECT_EQ(h.Record(Start("tcp:192.0.2.10:4001", 0), End(TransferOutcome::Sent, 21, true, 0)), 0);
            EXPECT_TRUE(h.Holdings().empty());
            EXPECT_TRUE(h.Transfers().empty());
        });
        EXPECT_EQ(reported, 1);
        EXPECT_NE(h.Error().find(c.errorPart), std::string::npos) << h.Error();
        EXPECT_EQ(h.Error().rfind("history " + c.path + ": ", 0), 0u) << h.Error();
        EXPECT_TRUE(ReadFile(c.path) == before) << "the file was changed";
    }
}

TEST_F(HistoryTest, WriteThatFailsIsReportedOnceAndLaterWritesAreStillTried) {
    History h;
    std::vector<std::string> reported;
    h.OnError = [&](const std::string& e) { reported.push_back(e); };
    ASSERT_EQ(h.Open(FPath), HistoryState::Open);
    const std::int64_t id = h.Begin(Start("tcp:192.0.2.10:4001", 1000));
    ASSERT_GT(id, 0);
    // Another program takes the table away under the open history for a while.
    RawSql(FPath, {"ALTER TABLE transfers RENAME TO away"});
    EXPECT_NO_THROW(h.End(id, End(TransferOutcome::Sent, 21, true, 2000)));
    RawSql(FPath, {"ALTER TABLE away RENAME TO transfers"});
    // One failed write must not leave every later transfer unrecorded.
    const std::int64_t next = h.Begin(Start("tcp:192.0.2.10:4001", 3000));
    EXPECT_GT(next, 0);
    h.End(next, End(TransferOutcome::Sent, 21, true, 4000));
    EXPECT_EQ(h.State(), HistoryState::Open);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("no such table"), std::string::npos) << reported[0];
    const auto holdings = h.Holdings("tcp:192.0.2.10:4001");
    ASSERT_EQ(holdings.size(), 1u);
    ASSERT_TRUE(holdings[0].complete.has_value());
    EXPECT_EQ(holdings[0].complete->started, 3000);
}

TEST_F(HistoryTest, FirstVersionFileIsMigratedWithEveryRow) {
    QDir().mkpath(FDir.path() + "/data");
    // The first version's schema, as it was shipped.
    RawSql(
        FPath,
        {
            "CREATE TABLE transfers (id INTEGER PRIMARY KEY, started_ms INTEGER NOT NULL, ended_ms INTEGER,"
            " target TEXT NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL, sha256 TEXT NOT NULL,"
            " row_count INTEGER NOT NULL, kind TEXT NOT NULL, outcome TEXT NOT NULL,"
            " end_row INTEGER NOT NULL DEFAULT 0, acknowledged INTEGER NOT NULL DEFAULT 0,"
            " resends INTEGER NOT NULL DEFAULT 0, message TEXT NOT NULL DEFAULT '')",
            "PRAGMA user_version = 1",
            "INSERT INTO transfers VALUES (1, 1000, 2000, 'tcp:192.0.2.10:4001', '/t/a.csv', 10, 'aa', 20, "
            "'product',"
            " 'sent', 21, 20, 2, '')",
            "INSERT INTO transfers VALUES (2, 3000, 3100, 'tcp:192.0.2.10:4001', '/t/b.csv', 11, 'bb', 20, "
            "'product',"
            " 'failed', 0, 0, 0, 'refused')",
            "INSERT INTO transfers VALUES (3, 1000, 2000, 'tcp:192.0.2.11:4001', '/t/a.csv', 10, 'aa', 20, "
            "'product',"
            " 'sent', 21, 20, 0, '')",
            "INSERT INTO transfers VALUES (4, 3000, 3500, 'tcp:192.0.2.11:4001', '/t/b.csv', 11, 'bb', 20, "
            "'product',"
            " 'stopped', 0, 0, 0, 'stopped')",
            "INSERT INTO transfers VALUES (5, 4000, NULL, 'tcp:192.0.2.12:4001', '/t/c.csv', 12, 'cc', 20, "
            "'user',"
            " 'running', 0, 0, 0, '')",
        });

    History h;
    ASSERT_EQ(h.Open(FPath), HistoryState::Open) << h.Error();
    const auto all = h.Transfers();
    ASSERT_EQ(all.size(), 5u);
    const TransferRecord& first = all[4];
    EXPECT_EQ(first.id, 1);
    EXPECT_EQ(first.started, 1000);
    EXPECT_EQ(first.ended, 2000);
    EXPECT_EQ(first.path, "/t/a.csv");
    EXPECT_EQ(first.sha256, "aa");
    EXPECT_EQ(first.resends, 2);
    EXPECT_EQ(first.name, "");
    EXPECT_EQ(first.program, "");

    // The first version did not know whether the scale took the start: only a
    // failure at the start command keeps the table that was there.
    const auto held = h.Holdings();
    ASSERT_EQ(held.size(), 3u);
    EXPECT_FALSE(held[0].Incomplete());
    EXPECT_EQ(held[0].complete->id, 1);
    EXPECT_TRUE(held[1].Incomplete());
    EXPECT_EQ(held[1].broken->id, 4);
    EXPECT_EQ(held[2].kind, TableKind::User);
    EXPECT_TRUE(held[2].Incomplete());

    const std::int64_t id = h.Begin(Start("tcp:192.0.2.10:4001", 5000));
    EXPECT_GT(id, 5);
    h.Close();
    EXPECT_EQ(RawSql(FPath, {"PRAGMA user_version"}).toInt(), History::SchemaVersion);
    EXPECT_EQ(RawSql(FPath, {"SELECT count(*) FROM sqlite_master WHERE type = 'index'"}).toInt(), 3);

    // Opening it again changes nothing.
    ASSERT_EQ(h.Open(FPath), HistoryState::Open);
    EXPECT_EQ(h.Transfers().size(), 6u);
}

TEST_F(HistoryTest, SecondVersionFileIsMigratedWithEveryRowAndReadAsItIsWhenReadOnly) {
    QDir().mkpath(FDir.path() + "/data");
    const std::string readOnly = FDir.path().toStdString() + "/data/read-only.sqlite";
    for (const std::string& path : {FPath, readOnly})
        RawSql(path,
               {
                   "CREATE TABLE transfers (id INTEGER PRIMARY KEY, started_ms INTEGER NOT NULL, ended_ms "
                   "INTEGER,"
                   " target TEXT NOT NULL, path TEXT NOT NULL, size INTEGER NOT NULL, sha256 TEXT NOT NULL,"
                   " row_count INTEGER NOT NULL, kind TEXT NOT NULL, outcome TEXT NOT NULL,"
                   " end_row INTEGER NOT NULL DEFAULT 0, acknowledged INTEGER NOT NULL DEFAULT 0,"
                   " resends INTEGER NOT NULL DEFAULT 0, message TEXT NOT NULL DEFAULT '',"
                   " name TEXT NOT NULL DEFAULT '', program TEXT NOT NULL DEFAULT '',"
                   " start_acked INTEGER NOT NULL DEFAULT 0)",
                   "CREATE INDEX transfers_by_scale ON transfers (target, kind, started_ms, id, outcome, "
                   "start_acked)",
                   "CREATE INDEX transfers_by_start ON transfers (started_ms)",
                   "PRAGMA user_version = 2",
                   "INSERT INTO transfers VALUES (1, 1000, 2000, 'tcp:192.0.2.10:4001', '/t/a.csv', 10, "
                   "'aa', 20,"
                   " 'product', 'sent', 21, 20, 2, '', 'Deli', 'scaledb-send', 1)",
                   "INSERT INTO transfers VALUES (2, 3000, NULL, 'tcp:192.0.2.10:4001', '/t/b.csv', 11, "
                   "'bb', 20,"
                   " 'product', 'running', 0, 0, 0, '', 'Deli', 'scaledb', 0)",
               });
    ::chmod(readOnly.c_str(), 0444);

    History h;
    ASSERT_EQ(h.Open(FPath), HistoryState::Open) << h.Error();
    const auto all = h.Transfers();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].name, "Deli");
    EXPECT_EQ(all[1].resends, 2);
    EXPECT_EQ(all[1].scale, "");
    // Who sent it was not recorded: it may still run.
    EXPECT_FALSE(all[0].interrupted);
    EXPECT_EQ(DescribeOutcome(all[0]), "running");
    h.Close();
    EXPECT_EQ(RawSql(FPath, {"PRAGMA user_version"}).toInt(), History::SchemaVersion);

    const std::string before = ReadFile(readOnly);
    ASSERT_EQ(h.Open(readOnly), HistoryState::ReadOnly);
    EXPECT_EQ(h.Transfers().size(), 2u);
    ASSERT_EQ(h.Holdings().size(), 1u);
    EXPECT_TRUE(h.Holdings()[0].Incomplete());
    ASSERT_EQ(h.RecordedScales().size(), 1u);
    EXPECT_EQ(h.RecordedScales()[0].second, "");
    EXPECT_EQ(h.State(), HistoryState::ReadOnly);
    h.Close();
    EXPECT_TRUE(ReadFile(readOnly) == before) << "the file was changed";
}

TEST(FileDigest, HashesTheFileInPiecesAndRefusesWhatIsNoFile) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string root = dir.path().toStdString();
    platform::WriteFileAtomically(root + "/abc", "abc");
    auto d = DigestFile(root + "/abc");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, 3);
    EXPECT_EQ(d->sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // Larger than one read, and not a multiple of it.
    std::string big;
    for (int i = 0; big.size() < 700'001; ++i)
        big += std::to_string(i) + ";Product;1.99\n";
    platform::WriteFileAtomically(root + "/big", big);
    d = DigestFile(root + "/big");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->size, static_cast<std::int64_t>(big.size()));
    EXPECT_EQ(d->sha256, DigestBytes(big).sha256);

    std::string error;
    EXPECT_FALSE(DigestFile(root + "/missing", &error));
    EXPECT_EQ(error, root + "/missing: No such file or directory");
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
    EXPECT_FALSE(DigestFile(root + "/fifo", &error)); // must not block
    EXPECT_EQ(error, root + "/fifo: not a regular file");
}

} // namespace
