// One scale transfer over a link the test plays, and a fleet of them on the
// caller's event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTimer>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <pty.h>
#include <sstream>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "common/PtyPair.h"
#include "fleet/Bytes.h"
#include "fleet/Fleet.h"
#include "fleet/Log.h"
#include "fleet/Records.h"
#include "fleet/ScaleTransfer.h"
#include "links/serial/SerialLink.h"
#include "transfer/Clock.h"

namespace fs = std::filesystem;

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

std::shared_ptr<const fleet::Records> RecordsOf(const std::string& text) {
    TableParser parser;
    parser.Feed(text.data(), text.size());
    return std::make_shared<const fleet::Records>(std::make_shared<const TableData>(parser.Finish()),
                                                  std::unique_ptr<fleet::Recoder>());
}

// A link the test plays: it opens at once, keeps what went out and hands on
// what the scale says.
class FakeLink : public TLink {
public:
    void Open() override {
        FState = LinkConnected;
        Opened();
    }
    void Send(const std::string& command) override {
        if (FState != LinkConnected) return;
        Wrote(LineFrame(command));
        Heard.push_back(command);
    }
    void Close() override { FState = LinkDisconnected; }
    std::uint8_t State() const override { return FState; }
    void Say(const std::string& text) { Received(text); }

    std::vector<std::string> Heard;

private:
    std::uint8_t FState = LinkDisconnected;
};

struct Driver : fleet::TScaleTransferListener {
    void TransferEnded(const TTransferOutcome& outcome) override { ended = outcome; }
    bool TransferMaySend() override { return maySend; }
    std::optional<TTransferOutcome> ended;
    bool maySend = true;
};

class ScaleTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        log = fs::temp_directory_path() / ("scaledb-fleet-" + std::to_string(::getpid()));
    }
    void TearDown() override { fs::remove(log); }
    std::string LogText() const {
        std::ifstream in(log);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    fs::path log;
};

} // namespace

TEST_F(ScaleTransferTest, AnOwnedLinkOpensTheTransferAndTheLogTellsEveryLineOnce) {
    transfer::TStepClock clock;
    const auto records = RecordsOf("1;a\n2;b\n");
    Driver driver;
    auto owned = std::make_unique<FakeLink>();
    FakeLink& link = *owned;
    {
        fleet::SendLog sendLog(log.string());
        fleet::TScaleTransfer transfer(TTransferOptions{}, records.get(), driver, clock);
        transfer.OwnLink(std::move(owned), TDatabaseKind::User);
        transfer.LogTo(sendLog, "tcp:scale:1");
        transfer.Open();
        ASSERT_EQ(link.Heard, (std::vector<std::string>{"SbU"}));
        // A reply cut in two is one line of the log; the tick sends the next command.
        for (const char* reply : {"Mb", "U\r\n", "Mr\r\n", "Mr\r\n", "Me\r\n"}) {
            link.Say(reply);
            clock.FireNext();
        }
        ASSERT_TRUE(driver.ended.has_value());
        EXPECT_TRUE(driver.ended->Done);
        transfer.FlushLog();
        EXPECT_EQ(link.Heard, (std::vector<std::string>{"SbU", "Sr1;a", "Sr2;b", "Se"}));
    }
    std::vector<std::string> lines;
    std::istringstream in(LogText());
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(' ') + 1)); // without the time stamp
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "tcp:scale:1 - link open", "tcp:scale:1 > SbU\\r\\n", "tcp:scale:1 < MbU\\r\\n",
                         "tcp:scale:1 > Sr1;a\\r\\n", "tcp:scale:1 < Mr\\r\\n", "tcp:scale:1 > Sr2;b\\r\\n",
                         "tcp:scale:1 < Mr\\r\\n", "tcp:scale:1 > Se\\r\\n", "tcp:scale:1 < Me\\r\\n"}));
}

TEST_F(ScaleTransferTest, ADriverThatStoppedLetsNoCommandOut) {
    transfer::TStepClock clock;
    const auto records = RecordsOf("1;a\n");
    Driver driver;
    FakeLink link;
    link.Open();
    fleet::TScaleTransfer transfer(TTransferOptions{}, records.get(), driver, clock);
    transfer.UseLink(&link);
    transfer.Start(TDatabaseKind::Product);
    transfer.Feed("MbP\r\n");
    driver.maySend = false;
    ASSERT_TRUE(clock.FireNext()); // the tick that would send row 1
    driver.maySend = true;
    link.Send("probe");
    EXPECT_EQ(link.Heard, (std::vector<std::string>{"SbP", "probe"}));
}

TEST(FleetStart, FinishesOnTheCallersLoopAndMayGoRightAfter) {
    // A port nobody listens on: the connection is refused a moment later.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const int closed = server.serverPort();
    server.close();
    fleet::FleetOptions options;
    fleet::SendLog log("");
    const auto records = RecordsOf("1;a\n");
    auto sender = std::make_unique<fleet::TFleet>(
        options, std::vector<scales::Target>{scales::ParseTarget("tcp:127.0.0.1:" + std::to_string(closed))},
        records, fleet::LinkSettings{}, log);
    bool finished = false;
    sender->OnFinished = [&] {
        finished = true;
        QTimer::singleShot(0, [&] { sender.reset(); });
    };
    sender->Start();
    EXPECT_FALSE(finished);
    ASSERT_TRUE(WaitFor([&] { return sender == nullptr; }));
    // The close the fleet had queued for its link is gone with it: a probe
    // queued after it runs, and nothing touched the freed link first.
    bool probed = false;
    QTimer::singleShot(0, [&] { probed = true; });
    ASSERT_TRUE(WaitFor([&] { return probed; }));

    // No link that can be opened at all: finished before Start returns.
    fleet::TFleet none(options, {scales::ParseTarget("serial:/nonexistent/scaledb-port")}, records,
                       fleet::LinkSettings{}, log);
    bool done = false;
    none.OnFinished = [&] { done = true; };
    none.Start();
    EXPECT_TRUE(done);
    EXPECT_EQ(none.Results().at(0).outcome, fleet::TargetResult::Outcome::Failed);
    EXPECT_EQ(none.Results().at(0).row, 0);
}

TEST(FleetStart, ThousandsOfRefusedConnectionsAreToldRefusedNotTimedOut) {
    // Opening this many links keeps the loop busy far beyond the budget, while
    // each refusal is in long before it: the budget counts from each connect,
    // and what the kernel already knows wins over a late loop.
    // Each a scale of its own (one lock each): a port free on every address,
    // on 2000 loopback addresses.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::AnyIPv4));
    const std::string port = std::to_string(server.serverPort());
    server.close();
    std::vector<scales::Target> targets;
    for (int i = 0; i < 2000; ++i)
        targets.push_back(scales::ParseTarget("tcp:127.0." + std::to_string(i / 250) + "." +
                                              std::to_string(i % 250 + 1) + ":" + port));
    fleet::LinkSettings settings;
    settings.connectSeconds = 0.01;
    fleet::SendLog log("");
    fleet::TFleet sender(fleet::FleetOptions{}, targets, RecordsOf("1;a\n"), settings, log);
    bool finished = false;
    sender.OnFinished = [&] { finished = true; };
    sender.Start();
    ASSERT_TRUE(WaitFor([&] { return finished; }, 60000));
    int refused = 0;
    for (const fleet::TargetResult& r : sender.Results())
        refused += r.fault == TLinkFault::ConnectionRefused;
    EXPECT_EQ(refused, 2000) << sender.Results().back().error;
}

namespace {

// A scale on the master side of a pty that answers each line it hears as it should.
struct PtyScale : PtyPair {
    std::string heard, pending;
    // Reads what came and answers each whole line (or only hears it).
    void Serve(bool answer = true) {
        pending += Heard();
        for (std::size_t lf; (lf = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, lf + 1);
            pending.erase(0, lf + 1);
            heard += line;
            if (answer)
                Say(line.rfind("SbP", 0) == 0 ? "MbP\r\n" : line.rfind("Se", 0) == 0 ? "Me\r\n" : "Mr\r\n");
        }
    }
};

} // namespace

TEST(ScaleTransferSerial, AStoppedTransfersLateReplyIsNoAnswerToTheNextOne) {
    PtyScale scale;
    ASSERT_FALSE(scale.device.empty());
    const auto records = RecordsOf("1;a\n2;b\n");
    TTransferOptions options;
    options.ReplyTimeoutMs = 5000;
    options.RetryLimit = 3;
    options.StrictReplies = true;
    Driver driver;
    fleet::TScaleTransfer transfer(options, records.get(), driver);
    TSerialLinkOptions port;
    port.Device = scale.device;
    transfer.OwnLink(std::make_unique<TSerialLink>(port), TDatabaseKind::Product);
    transfer.Open();
    // Stopped while row 1 waits for its answer, which is in the port when the next transfer starts.
    ASSERT_TRUE(WaitFor([&] {
        scale.Serve(scale.heard.empty());
        return scale.heard.find("Sr1;a") != std::string::npos;
    }));
    transfer.Stop();
    scale.Say("Mr\r\n");
    // In the port, not yet read: the loop does not run meanwhile.
    for (QDeadlineTimer in(5000); scale.Unread() < 4;)
        ASSERT_FALSE(in.hasExpired());
    scale.heard.clear();
    transfer.Start(TDatabaseKind::Product);
    ASSERT_TRUE(WaitFor([&] {
        scale.Serve();
        return driver.ended.has_value();
    }));
    EXPECT_TRUE(driver.ended->Done);
    EXPECT_EQ(scale.heard, "SbP\r\nSr1;a\r\nSr2;b\r\nSe\r\n");
}

TEST(TransferWords, ARunThatBrokeOffBeforeOrAfterTheRowsSaysWhichCommand) {
    TTransferOutcome o;
    o.Fault = TTransferFault::NoReply;
    o.Command = "Se";
    o.Tries = 4;
    EXPECT_EQ(fleet::FaultWords(o, 5), "no reply to the end command \"Se\" after 4 tries (5 s each)");
    o.Command = "SbU";
    EXPECT_EQ(fleet::FaultWords(o, 5), "no reply to the start command \"SbU\" after 4 tries (5 s each)");
    o.Fault = TTransferFault::WrongReply;
    o.Command = "SbP";
    o.Reply = "Mx";
    EXPECT_EQ(fleet::FaultWords(o, 5),
              "the scale refused the start command \"SbP\": \"Mx\" instead of \"MbP\" after 4 tries");
    o.Command = "Sr1;a";
    EXPECT_EQ(fleet::FaultWords(o, 5), "\"Mx\" instead of \"Mr\" to \"Sr1;...\" after 4 tries");
    const TLinkFailure refused{TLinkFault::ConnectionRefused, "connection refused by 127.0.0.1:9"};
    EXPECT_EQ(fleet::LinkFaultWords(refused, false),
              "the link never opened: connection refused by 127.0.0.1:9");
    EXPECT_EQ(fleet::LinkFaultWords(refused, true), "connection refused by 127.0.0.1:9");

    // The history's rows stay as they are: 0 the start, rows + 1 the end.
    scales::TransferRecord r;
    r.rows = 36;
    r.outcome = scales::TransferOutcome::Failed;
    EXPECT_EQ(scales::DescribeOutcome(r), "failed before anything was sent");
    r.startSent = true;
    EXPECT_EQ(scales::DescribeOutcome(r), "failed at the start command");
    r.row = 36;
    EXPECT_EQ(scales::DescribeOutcome(r), "failed at row 36");
    r.row = 37;
    r.outcome = scales::TransferOutcome::Stopped;
    EXPECT_EQ(scales::DescribeOutcome(r), "stopped at the end command");
}
