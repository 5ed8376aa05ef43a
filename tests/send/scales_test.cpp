// The scale list, names in every report, the history and what it says afterwards.
#include "send/SendTestUtil.h"

#include "scales/History.h"
#include "send/Status.h"

#include <map>
#include <regex>
#include <sys/stat.h>

using namespace sendtest;

namespace {

// A copy of the program whose settings folder, scale list and history are the test's folder.
class ScalesTest : public SendTest {
protected:
    ScalesTest() {
        program_ = Path("scaledb-send");
        std::filesystem::copy_file(SCALEDB_BIN_DIR "/scaledb-send", program_);
    }
    std::string program_;
};

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    std::string value;
};

// The node exporter's textfile format, strictly: every family announced by HELP and TYPE
// before its samples; label values with their escapes undone.
std::vector<Sample> ParseMetrics(const std::string& text) {
    std::vector<Sample> out;
    std::map<std::string, int> announced;
    for (const std::string& line : Lines(text)) {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            const std::string rest = line.substr(7);
            const std::string family = rest.substr(0, rest.find(' '));
            ++announced[family];
            if (line[2] == 'T') {
                EXPECT_EQ(rest.substr(family.size()), " gauge") << line;
            }
            continue;
        }
        Sample s;
        std::size_t i = line.find('{');
        if (i == std::string::npos) {
            // A series without labels.
            const std::size_t blank = line.find(' ');
            EXPECT_NE(blank, std::string::npos) << line;
            s.name = line.substr(0, blank);
            EXPECT_EQ(announced[s.name], 2) << "no HELP and TYPE before " << line;
            s.value = line.substr(blank + 1);
            out.push_back(std::move(s));
            continue;
        }
        s.name = line.substr(0, i);
        EXPECT_EQ(announced[s.name], 2) << "no HELP and TYPE before " << line;
        ++i;
        while (i < line.size() && line[i] != '}') {
            const std::size_t eq = line.find("=\"", i);
            const std::string key = line.substr(i, eq - i);
            std::string value;
            for (i = eq + 2; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\') {
                    ++i;
                    value += line[i] == 'n' ? '\n' : line[i];
                } else {
                    value += line[i];
                }
            }
            s.labels[key] = value;
            ++i;
            if (i < line.size() && line[i] == ',') ++i;
        }
        EXPECT_EQ(line.substr(i, 2), "} ") << line;
        s.value = line.substr(i + 2);
        out.push_back(std::move(s));
    }
    return out;
}

std::string Value(const std::vector<Sample>& samples, const std::string& name, const std::string& scale,
                  const std::string& outcome = {}) {
    for (const auto& s : samples)
        if (s.name == name &&
            (scale.empty() ? s.labels.empty() : s.labels.count("scale") && s.labels.at("scale") == scale) &&
            (outcome.empty() || s.labels.at("outcome") == outcome))
            return s.value;
    return "missing";
}

TEST_F(ScalesTest, ATargetsFileGivesNamesSkipsScalesSwitchedOffAndReportsEveryBadLine) {
    const std::string table = Table(1);
    const std::string bad = Write("shop", "# the shop\n\ntcp:127.0.0.1:9  Deli counter\n"
                                          "-tcp:127.0.0.1:10  Bakery\nnonsense  Cheese\n"
                                          "tcp:127.0.0.1:11\ntcp:127.0.0.1:9  Deli again\n");
    SendProcess send(dir_, program_);
    EXPECT_EQ(send.Run({table, "--dry-run", "--targets", bad}), 2);
    EXPECT_EQ(send.Err(), "scaledb-send: " + bad +
                              ":5: bad target \"nonsense\": expected serial:DEVICE[@RATE[,8N1]], "
                              "tcp:HOST:PORT or udp:HOST:PORT\n"
                              "scaledb-send: " +
                              bad + ":7: tcp:127.0.0.1:9 is already on line 3\nTry 'scaledb-send --help'.\n");
    EXPECT_EQ(send.Out(), "");

    const std::string good = Write("good", "# the shop\ntcp:127.0.0.1:9  Deli counter\n"
                                           "  - tcp:127.0.0.1:10  Bakery\ntcp:127.0.0.1:11\n");
    ASSERT_EQ(send.Run({table, "--dry-run", "--targets", good}), 0) << send.Err();
    EXPECT_EQ(Lines(send.Out())[0], "# tcp:127.0.0.1:9 tcp:127.0.0.1:11");
    // A list of switched-off scales sends nowhere, and does not fall back to the window's link.
    const std::string off = Write("off", "-tcp:127.0.0.1:10  Bakery\n");
    EXPECT_EQ(send.Run({table, "--dry-run", "--targets", off}), 2);
    EXPECT_EQ(send.Err(), "scaledb-send: no targets in " + off + "\nTry 'scaledb-send --help'.\n");
    // Names do not make one scale two.
    EXPECT_EQ(send.Run({table, "--dry-run", "--targets", good, "tcp:127.0.0.1:11"}), 2);
    EXPECT_EQ(Lines(send.Err())[0], "scaledb-send: target tcp:127.0.0.1:11 is given twice");

    // --scales reads the settings folder's list, and says so when there is none.
    EXPECT_EQ(send.Run({table, "--dry-run", "--scales"}), 2);
    EXPECT_EQ(Lines(send.Err())[0], "scaledb-send: --scales: there is no list of scales at " +
                                        Path("scales") + " (one scale a line: TARGET  NAME)");
    Write("scales", "# nothing on yet\n-tcp:127.0.0.1:10  Bakery\n");
    EXPECT_EQ(send.Run({table, "--dry-run", "--scales"}), 2);
    EXPECT_EQ(Lines(send.Err())[0],
              "scaledb-send: --scales: " + Path("scales") + " has no scale switched on");
    Write("scales", "tcp:127.0.0.1:10  Bakery\ntcp:127.0.0.1:12\n");
    ASSERT_EQ(send.Run({table, "--dry-run", "--scales", "--targets", good}), 0) << send.Err();
    EXPECT_EQ(Lines(send.Out())[0], "# tcp:127.0.0.1:9 tcp:127.0.0.1:11 tcp:127.0.0.1:10 tcp:127.0.0.1:12");
}

TEST_F(ScalesTest, NamesFromTheListAppearInEveryReportLineTheJsonAndTheLog) {
    SimProcess deli, bakery;
    deli.Start({"--tcp", "--log", deli.LogPath()});
    bakery.Start({"--tcp", "--log", bakery.LogPath()});
    const std::string bakeryName = "B\xC3\xA4"
                                   "ckerei \"Ost\" \\ 2"; // UTF-8, a quote and a backslash
    Write("scales", "tcp:127.0.0.1:" + std::to_string(deli.Port()) + "  Deli counter\n" + Tcp(bakery.Port()) +
                        "  " + bakeryName + "\n");
    const std::string table = Table(3);
    SendProcess send(dir_, program_);
    ASSERT_EQ(send.Run({table, "--scales", "--json", "--log", Path("log")}), 0) << send.Err();
    // The target first, as before; the names padded to one column (by characters, not bytes).
    EXPECT_NE(LineOf(send.Err(), Tcp(deli.Port())).find("  Deli counter        sent 3 of 3 rows in "),
              std::string::npos)
        << send.Err();
    EXPECT_NE(LineOf(send.Err(), Tcp(bakery.Port())).find("  " + bakeryName + "  sent 3 of 3 rows in "),
              std::string::npos)
        << send.Err();
    const QJsonArray targets = Json(send.Out())["targets"].toArray();
    ASSERT_EQ(targets.size(), 2);
    EXPECT_EQ(targets[0].toObject()["name"].toString().toStdString(), "Deli counter");
    EXPECT_EQ(targets[1].toObject()["name"].toString().toStdString(), bakeryName);
    const std::vector<std::string> log = Lines(SendProcess::Read(Path("log")));
    ASSERT_GE(log.size(), 10u);
    for (const std::string& line : log) {
        SCOPED_TRACE(line);
        const bool isDeli = line.find(" " + Tcp(deli.Port()) + " \"Deli counter\" ") != std::string::npos;
        const bool isBakery = line.find(" " + Tcp(bakery.Port()) +
                                        " \"B\xC3\xA4"
                                        "ckerei \\\"Ost\\\" \\\\ 2\" ") != std::string::npos;
        EXPECT_TRUE(isDeli != isBakery);
    }
    EXPECT_EQ(deli.ReadLog(), Wire(3));

    // A target from the command line has no name: the line and the JSON as they always were.
    ASSERT_EQ(send.Run({table, Tcp(deli.Port()), "--json"}), 0) << send.Err();
    EXPECT_EQ(send.Err().rfind(Tcp(deli.Port()) + "  sent 3 of 3 rows in ", 0), 0u) << send.Err();
    EXPECT_FALSE(Json(send.Out())["targets"].toArray()[0].toObject().contains("name"));
    // The history still knows it by the list's name.
    ASSERT_EQ(send.Run({"--history", "Deli counter", "--json"}), 0) << send.Err();
    const QJsonArray deliHistory = QJsonDocument::fromJson(QByteArray::fromStdString(send.Out())).array();
    ASSERT_EQ(deliHistory.size(), 2);
    for (const auto& r : deliHistory) {
        EXPECT_EQ(r.toObject()["name"].toString().toStdString(), "Deli counter");
        EXPECT_EQ(r.toObject()["target"].toString().toStdString(), Tcp(deli.Port()));
    }
}

TEST_F(ScalesTest, StatusAfterStoppedFailedAndCompleteTransfersAndMetricsThatParse) {
    SimProcess silent, refusing, good;
    silent.Start({"--tcp", "--silent-after", "4", "--log", silent.LogPath()}); // SbP and rows 1 to 3
    refusing.Start({"--tcp", "--refuse-row", "2"});
    good.Start({"--tcp"});
    const std::string table = Table(10);
    const std::int64_t before = scales::NowUtcMs();
    SendProcess send(dir_, program_);
    // Failed at row 2, and a complete table.
    ASSERT_EQ(send.Run({table, "--retries", "0", "--targets",
                        Write("two", Tcp(refusing.Port()) + "  Refusing one\n" + Tcp(good.Port()) +
                                         "  Good one\n")}),
              1);
    // Stopped at row 4 by SIGINT.
    send.Start({table, "--targets", Write("one", Tcp(silent.Port()) + "  Stopped one\n"), "--timeout", "30"});
    const std::string sent = Wire(4).substr(0, Wire(4).size() - 4);
    EXPECT_EQ(silent.WaitForLog(sent, SimProcess::Ms(10000)), sent);
    send.Signal(SIGINT);
    EXPECT_EQ(send.Wait(SimProcess::Ms(10000)), 130);
    // A scale that cannot be reached still holds the table it had.
    good.Stop();
    EXPECT_EQ(send.Run({table, "--targets", Write("one", Tcp(good.Port()) + "  Good one\n")}), 1);
    const std::int64_t after = scales::NowUtcMs();

    ASSERT_EQ(send.Run({"--status", "--metrics", Path("scaledb.prom")}), 0) << send.Err();
    const std::vector<std::string> status = Lines(send.Out());
    ASSERT_EQ(status.size(), 3u) << send.Out();
    const auto digest = scales::DigestFile(table);
    ASSERT_TRUE(digest);
    const std::string when = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";
    const std::map<int, std::string> expected = {
        {silent.Port(), "Stopped one   product  INCOMPLETE since " + when + " \\(stopped at row 4\\)"},
        {refusing.Port(), "Refusing one  product  INCOMPLETE since " + when + " \\(failed at row 2\\)"},
        {good.Port(), "Good one      product  " + table + " sha256 " + digest->sha256 + " sent " + when},
    };
    for (const auto& [port, rest] : expected) {
        const std::string line = LineOf(send.Out(), Tcp(port));
        EXPECT_TRUE(std::regex_match(
            line, std::regex(std::regex_replace(Tcp(port), std::regex("\\."), "\\.") + " *  " + rest)))
            << line;
    }

    const std::vector<Sample> samples = ParseMetrics(SendProcess::Read(Path("scaledb.prom")));
    EXPECT_EQ(samples.size(), 3u * 8u + 1u);
    EXPECT_EQ(Value(samples, "scaledb_history_ok", ""), "1");
    for (const auto& [port, name] : std::map<int, std::string>{
             {silent.Port(), "stopped"}, {refusing.Port(), "failed"}, {good.Port(), "failed"}}) {
        SCOPED_TRACE(name);
        for (const char* outcome : {"sent", "failed", "stopped", "running"})
            EXPECT_EQ(Value(samples, "scaledb_last_outcome", Tcp(port), outcome),
                      outcome == name ? "1" : "0");
        EXPECT_EQ(Value(samples, "scaledb_last_rows", Tcp(port)), "10");
        const double last = std::stod(Value(samples, "scaledb_last_transfer_timestamp_seconds", Tcp(port)));
        EXPECT_GE(last * 1000, static_cast<double>(before) - 1);
        EXPECT_LE(last * 1000, static_cast<double>(after) + 1);
    }
    EXPECT_EQ(Value(samples, "scaledb_incomplete", Tcp(silent.Port())), "1");
    EXPECT_EQ(Value(samples, "scaledb_incomplete", Tcp(refusing.Port())), "1");
    EXPECT_EQ(Value(samples, "scaledb_incomplete", Tcp(good.Port())), "0");
    EXPECT_EQ(Value(samples, "scaledb_last_success_timestamp_seconds", Tcp(silent.Port())), "0");
    const double success =
        std::stod(Value(samples, "scaledb_last_success_timestamp_seconds", Tcp(good.Port())));
    EXPECT_GE(success * 1000, static_cast<double>(before) - 1);
    for (const auto& s : samples) {
        if (s.name == "scaledb_history_ok") continue; // of the history, not of a scale
        EXPECT_EQ(s.labels.at("kind"), "product");
        EXPECT_EQ(s.labels.count("name"), 1u);
    }

    // The transfers of one scale by its name, newest first; of all, limited.
    ASSERT_EQ(send.Run({"--history", "Good one"}), 0) << send.Err();
    const std::vector<std::string> good2 = Lines(send.Out());
    ASSERT_EQ(good2.size(), 2u) << send.Out();
    EXPECT_NE(good2[0].find("  failed before anything was sent  0 of 10 rows   0 resends  scaledb-send  " +
                            table + "  the link never opened: connection refused by 127.0.0.1:"),
              std::string::npos)
        << good2[0];
    EXPECT_NE(
        good2[1].find("  sent                             10 of 10 rows  0 resends  scaledb-send  " + table),
        std::string::npos)
        << good2[1];
    ASSERT_EQ(send.Run({"--history", "--limit", "2", "--json"}), 0) << send.Err();
    const QJsonArray newest = QJsonDocument::fromJson(QByteArray::fromStdString(send.Out())).array();
    ASSERT_EQ(newest.size(), 2);
    EXPECT_EQ(newest[1].toObject()["outcome"].toString().toStdString(), "stopped");
    EXPECT_EQ(newest[1].toObject()["row"].toInt(), 4);
    EXPECT_EQ(newest[1].toObject()["message"].toString().toStdString(), "interrupted by SIGINT");
    EXPECT_EQ(newest[1].toObject()["sha256"].toString().toStdString(), digest->sha256);
}

TEST_F(ScalesTest, AHistoryThatIsCorruptOrReadOnlyNeverStopsATransferButTheRunEndsWithStatusThree) {
    SimProcess sim;
    sim.Start({"--tcp", "--log", sim.LogPath()});
    const std::string table = Table(2);
    SendProcess send(dir_, program_);
    ASSERT_EQ(send.Run({table, Tcp(sim.Port()), "--no-history"}), 0) << send.Err();
    EXPECT_FALSE(std::filesystem::exists(Path("history.sqlite")));
    EXPECT_EQ(send.Run({"--status"}), 0);
    EXPECT_EQ(send.Out(), "");
    EXPECT_EQ(send.Err(), "scaledb-send: no transfers recorded yet (" + Path("history.sqlite") + ")\n");
    EXPECT_FALSE(std::filesystem::exists(Path("history.sqlite")));

    const std::string garbage(8192, 'x');
    Write("history.sqlite", garbage);
    // Sent, but not recorded: --status would name an older table, so cron must see it.
    ASSERT_EQ(send.Run({table, Tcp(sim.Port()), "--metrics", Path("m.prom")}), 3);
    EXPECT_EQ(Count(send.Err(), "scaledb-send: history"), 1u) << send.Err();
    EXPECT_EQ(Lines(send.Err())[0],
              "scaledb-send: history " + Path("history.sqlite") +
                  ": the history file is damaged (file is not a database); transfers are not recorded");
    EXPECT_NE(LineOf(send.Out(), Tcp(sim.Port())).find("  sent 2 of 2 rows in "), std::string::npos);
    EXPECT_EQ(SendProcess::Read(Path("history.sqlite")), garbage);
    // And the exporter sees it, after a run and after --status.
    EXPECT_EQ(Value(ParseMetrics(SendProcess::Read(Path("m.prom"))), "scaledb_history_ok", ""), "0");
    EXPECT_EQ(send.Run({"--status", "--metrics", Path("m2.prom")}), 2);
    EXPECT_EQ(Value(ParseMetrics(SendProcess::Read(Path("m2.prom"))), "scaledb_history_ok", ""), "0");
    EXPECT_EQ(send.Run({"--status"}), 2);
    EXPECT_EQ(send.Err().rfind("scaledb-send: history " + Path("history.sqlite") + ": ", 0), 0u);

    std::filesystem::remove(Path("history.sqlite"));
    ASSERT_EQ(send.Run({table, Tcp(sim.Port())}), 0) << send.Err();
    EXPECT_EQ(send.Err(), "");
    ::chmod(Path("history.sqlite").c_str(), 0444);
    ASSERT_EQ(send.Run({table, Tcp(sim.Port()), "--metrics", Path("m.prom")}), 3) << send.Err();
    EXPECT_EQ(send.Err(), "scaledb-send: history " + Path("history.sqlite") +
                              ": the file is read-only: transfers are not recorded\n");
    EXPECT_EQ(sim.ReadLog(), Wire(2) + Wire(2) + Wire(2) + Wire(2));
    // What was recorded before can still be read, and exported.
    ASSERT_EQ(send.Run({"--history", "--json"}), 0) << send.Err();
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(send.Out())).array().size(), 1);
    // Metrics that cannot be written are a failure the job's status shows.
    EXPECT_EQ(send.Run({"--status", "--metrics", Path("no/such/folder/m.prom")}), 1);
    EXPECT_EQ(Lines(send.Err())
                  .back()
                  .rfind("scaledb-send: --metrics: cannot write " + Path("no/such/folder/m.prom"), 0),
              0u)
        << send.Err();
    const auto metrics = ParseMetrics(SendProcess::Read(Path("m.prom")));
    EXPECT_EQ(Value(metrics, "scaledb_last_outcome", Tcp(sim.Port()), "sent"), "1");
    EXPECT_EQ(Value(metrics, "scaledb_history_ok", ""), "0");
    // Not asked to record, nothing failed to be.
    EXPECT_EQ(send.Run({table, Tcp(sim.Port()), "--no-history"}), 0) << send.Err();
}

TEST_F(ScalesTest, AHistoryThatCannotBeWrittenEndsTheRunWithStatusThreeAndTheMetricsSayIt) {
    SimProcess sim;
    sim.Start({"--tcp"});
    const std::string table = Table(2);
    SendProcess send(dir_, program_);
    ASSERT_EQ(send.Run({table, Tcp(sim.Port()), "--metrics", Path("m.prom")}), 0) << send.Err();
    EXPECT_EQ(Value(ParseMetrics(SendProcess::Read(Path("m.prom"))), "scaledb_history_ok", ""), "1");
    // As on a full disk: no file of the run may grow past a few KiB (the history's index
    // of readers among them), so the history cannot be written, though it is there.
    SendProcess limited(dir_, "/bin/sh");
    EXPECT_EQ(limited.Run({"-c", "ulimit -f 16 && trap '' XFSZ && exec \"$0\" \"$@\"", program_, table,
                           Tcp(sim.Port()), "--metrics", Path("m.prom")}),
              3)
        << limited.Err();
    EXPECT_NE(limited.Err().find(": the history file cannot be written ("), std::string::npos)
        << limited.Err();
    EXPECT_NE(limited.Err().find("is the disk full?); transfers are not recorded"), std::string::npos)
        << limited.Err();
    EXPECT_NE(LineOf(limited.Out(), Tcp(sim.Port())).find("  sent 2 of 2 rows in "), std::string::npos);
    const auto metrics = ParseMetrics(SendProcess::Read(Path("m.prom")));
    EXPECT_EQ(Value(metrics, "scaledb_history_ok", ""), "0");
    EXPECT_EQ(send.Run({table, Tcp(sim.Port()), "--metrics", Path("m.prom")}), 0) << send.Err();
    EXPECT_EQ(Value(ParseMetrics(SendProcess::Read(Path("m.prom"))), "scaledb_history_ok", ""), "1");
}

TEST_F(ScalesTest, OneScaleUnderTwoSpellingsAcrossRunsIsOneScaleInTheHistory) {
    SimProcess sim;
    sim.Start({"--tcp"});
    SimProcess old;
    old.Start({"--tcp"});
    const std::string table = Table(2);
    const std::string byName = "tcp:localhost:" + std::to_string(sim.Port());
    SendProcess send(dir_, program_);
    ASSERT_EQ(send.Run({table, byName}), 0) << send.Err();
    ASSERT_EQ(send.Run({Table(3, "newer.csv"), Tcp(sim.Port())}), 0) << send.Err();
    // Recorded under the spelling the history knew the scale by.
    ASSERT_EQ(send.Run({"--history", "--json"}), 0) << send.Err();
    const QJsonArray all = QJsonDocument::fromJson(QByteArray::fromStdString(send.Out())).array();
    ASSERT_EQ(all.size(), 2);
    for (const auto& r : all)
        EXPECT_EQ(r.toObject()["target"].toString().toStdString(), byName);
    ASSERT_EQ(send.Run({"--status"}), 0) << send.Err();
    ASSERT_EQ(Lines(send.Out()).size(), 1u) << send.Out();
    EXPECT_NE(send.Out().find(Path("newer.csv")), std::string::npos) << send.Out();

    // Split by an older program: shown once, and said.
    const std::string oldName = "tcp:localhost:" + std::to_string(old.Port());
    {
        scales::History h;
        ASSERT_EQ(h.Open(Path("history.sqlite")), scales::HistoryState::Open);
        scales::TransferStart start;
        start.started = scales::NowUtcMs() - 60000;
        start.target = oldName;
        start.path = Path("oldest.csv");
        start.rows = 2;
        start.program = "scaledb";
        scales::TransferEnd end;
        end.outcome = scales::TransferOutcome::Sent;
        end.ended = start.started + 1000;
        h.Record(start, end);
    }
    ASSERT_EQ(send.Run({table, Tcp(old.Port())}), 0) << send.Err();
    ASSERT_EQ(send.Run({"--status", "--json"}), 0) << send.Err();
    const QJsonArray status = QJsonDocument::fromJson(QByteArray::fromStdString(send.Out())).array();
    ASSERT_EQ(status.size(), 2) << send.Out();
    std::map<std::string, QJsonObject> byTarget;
    for (const auto& h : status)
        byTarget[h.toObject()["target"].toString().toStdString()] = h.toObject();
    ASSERT_EQ(byTarget.count(Tcp(old.Port())), 1u) << send.Out();
    EXPECT_EQ(byTarget[Tcp(old.Port())]["complete"].toObject()["table"].toString().toStdString(), table);
    EXPECT_EQ(byTarget[Tcp(old.Port())]["also_recorded_as"].toArray().at(0).toString().toStdString(),
              oldName);
    EXPECT_EQ(byTarget.count(byName), 1u) << send.Out();
    EXPECT_EQ(send.Err(), "scaledb-send: " + oldName + " now names the same scale as " + Tcp(old.Port()) +
                              " (127.0.0.1:" + std::to_string(old.Port()) +
                              "); its transfers are shown under " + Tcp(old.Port()) + "\n");
}

TEST_F(ScalesTest, ATransferWhoseSenderWasKilledIsShownInterruptedWhereItGotTo) {
    // The scale answers the start and four rows, then nothing.
    SimProcess sim;
    sim.Start({"--tcp", "--silent-after", "5"});
    const std::string table = Table(36);
    SendProcess send(dir_, program_);
    send.Start({table, Tcp(sim.Port()), "--timeout", "60"});
    SendProcess ask(dir_ + "/ask", program_);
    std::filesystem::create_directory(dir_ + "/ask");
    // Its progress reaches the history while it runs (a second after the last write at most).
    QJsonObject newest;
    for (int tries = 0; tries < 3000 && newest["acknowledged_rows"].toInt() < 4; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (ask.Run({"--history", "--json"}) != 0) continue;
        const QJsonArray a = QJsonDocument::fromJson(QByteArray::fromStdString(ask.Out())).array();
        if (!a.isEmpty()) newest = a[0].toObject();
    }
    ASSERT_EQ(newest["acknowledged_rows"].toInt(), 4) << ask.Err();
    EXPECT_EQ(newest["outcome"].toString().toStdString(), "running");
    EXPECT_FALSE(newest["interrupted"].toBool());
    send.Signal(SIGKILL);
    EXPECT_EQ(send.Wait(), 128 + SIGKILL);

    ASSERT_EQ(ask.Run({"--history"}), 0) << ask.Err();
    EXPECT_NE(ask.Out().find("  interrupted at row 5 or later  4 of 36 rows  "), std::string::npos)
        << ask.Out();
    ASSERT_EQ(ask.Run({"--status"}), 0) << ask.Err();
    EXPECT_NE(ask.Out().find("(interrupted at row 5 or later)"), std::string::npos) << ask.Out();
}

TEST_F(ScalesTest, StatusAndHistoryTakeNoTableAndSayWhatIsWrong) {
    SendProcess send(dir_, program_);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--status", "table.csv"}, "--status takes no table or target"},
        {{"--history", "a", "b"}, "--history takes at most one scale"},
        {{"--status", "--history"}, "--status and --history: one at a time"},
        {{"--status", "--scales"}, "--status sends nothing: no --targets, --scales or --dry-run with it"},
        {{"--limit", "3", "--status"}, "--limit goes with --history"},
        {{"--history", "--limit", "x"}, "--limit: expected a whole number from 0, got \"x\""},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        EXPECT_EQ(send.Run(args), 2);
        EXPECT_EQ(send.Err(), "scaledb-send: " + message + "\nTry 'scaledb-send --help'.\n");
    }
}

} // namespace

// One scale with a very long name widens its own line only; the short ones stay aligned.
TEST(StatusLines, ALongNameDoesNotPadEveryLine) {
    auto holding = [](const std::string& target, const std::string& name) {
        scales::Holding h;
        h.target = target;
        h.name = name;
        return h;
    };
    const std::string lines = sendcmd::StatusLines({holding("tcp:192.0.2.10:4001", "Deli"),
                                                    holding("tcp:192.0.2.11:4001", std::string(120, 'B')),
                                                    holding("tcp:192.0.2.12:4001", "Fish counter")});
    EXPECT_EQ(lines, "tcp:192.0.2.10:4001  Deli          product  no complete table recorded\n"
                     "tcp:192.0.2.11:4001  " +
                         std::string(120, 'B') +
                         "  product  no complete table recorded\n"
                         "tcp:192.0.2.12:4001  Fish counter  product  no complete table recorded\n");
}
