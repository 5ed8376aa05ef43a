// The transfer engine against a scale played in the test: the options the
// window leaves off (time-out, retry limit) and many engines on one loop.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "transfer/TransferEngine.h"

namespace {

std::shared_ptr<const TableData> Table(const std::string& text) {
    TableParser parser;
    parser.Feed(text.data(), text.size());
    return std::make_shared<const TableData>(parser.Finish());
}

const char* kTwoRows = "1001;Apples;2.50\n1002;Pears;3.10\n";

// A scale that answers each command on the next turn of the event loop.
// `answer` gives the reply to a command ("" for none).
struct FakeScale {
    std::function<std::string(const std::string& command)> answer = [](const std::string& c) {
        if (c == "SbP") return std::string("MbP\r\n");
        if (c == "SbU") return std::string("MbU\r\n");
        if (c == "Se") return std::string("Me\r\n");
        return std::string("Mr\r\n");
    };
    int copies = 1; // how often each reply is written
    std::vector<std::string> heard;
    std::optional<TTransferOutcome> outcome;

    void Attach(TTransferEngine& engine) {
        engine.OnSend = [this, &engine](const std::string& command) {
            heard.push_back(command);
            const std::string reply = answer(command);
            for (int i = 0; i < copies && !reply.empty(); ++i)
                QTimer::singleShot(0, [&engine, reply] { engine.Feed(reply); });
        };
        engine.OnFinished = [this](const TTransferOutcome& o) { outcome = o; };
    }
};

bool WaitUntil(const std::function<bool()>& done, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

TTransferOptions Fast(int timeoutMs = 0, int retries = -1) {
    TTransferOptions o;
    o.TickMs = 1;
    o.ReplyTimeoutMs = timeoutMs;
    o.RetryLimit = retries;
    return o;
}

} // namespace

TEST(TransferEngine, AWrongReplyIsSentAgainUpToTheLimitThenTheTransferFailsAtThatRow) {
    TTransferEngine engine(Fast(0, 3));
    engine.SetTable(Table(kTwoRows));
    FakeScale scale;
    // The start command is answered wrongly once: with a limit it is repeated too.
    int starts = 0;
    scale.answer = [&](const std::string& c) {
        if (c == "SbP") return std::string(++starts == 1 ? "MbU\r\n" : "MbP\r\n");
        return std::string(c.rfind("Sr1002", 0) == 0 ? "Mx\r\n" : "Mr\r\n");
    };
    scale.Attach(engine);
    engine.Start(TDatabaseKind::Product);
    ASSERT_TRUE(WaitUntil([&] { return scale.outcome.has_value(); }));

    const std::string row2 = "Sr1002;Pears;3.10";
    EXPECT_EQ(scale.heard,
              (std::vector<std::string>{"SbP", "SbP", "Sr1001;Apples;2.50", row2, row2, row2, row2}));
    const TTransferOutcome& o = *scale.outcome;
    EXPECT_FALSE(o.Done);
    EXPECT_EQ(o.Fault, TTransferFault::WrongReply);
    EXPECT_EQ(o.Row, 2);
    EXPECT_EQ(o.Rows, 2);
    EXPECT_EQ(o.Command, row2);
    EXPECT_EQ(o.Reply, "Mx");
    EXPECT_EQ(o.Tries, 4);
    EXPECT_EQ(o.Progress.Acknowledged, 1);
    EXPECT_EQ(o.Progress.CommandsSent, 7u);
    EXPECT_EQ(o.Progress.Resends, 4u);
    EXPECT_FALSE(engine.Running());
}

TEST(TransferEngine, ASilentScaleIsAskedAgainAfterEachTimeOutThenFails) {
    TTransferEngine engine(Fast(20, 2));
    engine.SetTable(Table(kTwoRows));
    FakeScale scale;
    scale.answer = [](const std::string& c) {
        return std::string(c == "Se" ? "" : c == "SbU" ? "MbU\r\n" : "Mr\r\n");
    };
    scale.Attach(engine);
    engine.Start(TDatabaseKind::User);
    ASSERT_TRUE(WaitUntil([&] { return scale.outcome.has_value(); }));

    EXPECT_EQ(scale.heard,
              (std::vector<std::string>{"SbU", "Sr1001;Apples;2.50", "Sr1002;Pears;3.10", "Se", "Se", "Se"}));
    EXPECT_EQ(scale.outcome->Fault, TTransferFault::NoReply);
    EXPECT_EQ(scale.outcome->Row, 3); // the end command
    EXPECT_EQ(scale.outcome->Command, "Se");
    EXPECT_EQ(scale.outcome->Tries, 3);
    EXPECT_EQ(scale.outcome->Progress.Acknowledged, 2);
    // Nothing more goes out once it failed.
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(scale.heard.size(), 6u);
}

TEST(TransferEngine, ManyEnginesOnOneLoopEachSendTheWholeTableOnce) {
    const auto table = Table("a;1\nb;2\nc;3\n");
    constexpr int kEngines = 40;
    std::vector<std::unique_ptr<TTransferEngine>> engines;
    std::vector<FakeScale> scales(kEngines);
    for (int i = 0; i < kEngines; ++i) {
        TTransferOptions options = Fast(1000, 1);
        options.TickMs = 5;
        engines.push_back(std::make_unique<TTransferEngine>(options));
        engines.back()->SetTable(table);
        FakeScale& scale = scales[static_cast<std::size_t>(i)];
        // Every other scale acknowledges twice: the second one counts for nothing.
        scale.copies = 1 + i % 2;
        scale.Attach(*engines.back());
    }
    for (auto& e : engines)
        e->Start(TDatabaseKind::Product);
    ASSERT_TRUE(WaitUntil([&] {
        for (auto& s : scales)
            if (!s.outcome) return false;
        return true;
    }));
    for (auto& s : scales) {
        EXPECT_TRUE(s.outcome->Done);
        EXPECT_EQ(s.heard, (std::vector<std::string>{"SbP", "Sra;1", "Srb;2", "Src;3", "Se"}));
        EXPECT_EQ(s.outcome->Progress.Resends, 0u);
    }
}

// A slow scale answers every copy it got, in order; the test lets each answer
// through and fires the reply time-out itself.
TEST(TransferEngine, AnAnswerToAnEarlierCopyNeverAcknowledgesTheNextCommand) {
    TTransferOptions options = Fast(600000, 3); // the real time-out never fires here
    TTransferEngine engine(options);
    engine.SetTable(Table("a;1\nb;2\nc;3\n"));
    std::vector<std::string> heard, answers;
    std::optional<TTransferOutcome> outcome;
    engine.OnSend = [&](const std::string& c) {
        const bool first = std::count(heard.begin(), heard.end(), c) == 0;
        heard.push_back(c);
        // Rows b and c are refused the first time.
        answers.push_back(c == "SbP" ? "MbP" : c == "Se" ? "Me" : first && c != "Sra;1" ? "Mx" : "Mr");
    };
    engine.OnFinished = [&](const TTransferOutcome& o) { outcome = o; };
    std::size_t answered = 0;
    auto answer = [&] { engine.Feed(answers.at(answered++) + "\r\n"); };
    // Every answer arms the tick; once it has run, all it sent is heard.
    auto settle = [&] { ASSERT_TRUE(WaitUntil([&] { return !engine.Timer()->isActive(); })); };

    engine.Start(TDatabaseKind::Product);
    answer();
    settle();
    engine.ReplyTimedOut(); // row a twice
    answer();               // "Mr" to copy 1: row a is acknowledged, row b goes out
    settle();
    EXPECT_EQ(engine.Progress().Acknowledged, 1);
    answer(); // "Mr" to copy 2 of row a: owed, not row b's
    settle();
    EXPECT_EQ(engine.Progress().Acknowledged, 1);
    answer(); // "Mx" to row b: sent again
    settle();
    answer(); // "Mr": row b acknowledged, row c goes out
    settle();
    engine.ReplyTimedOut(); // row c twice
    answer();               // "Mx" to copy 1: copy 2's answer is still to come
    settle();
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "Src;3"), 2);
    answer(); // "Mr" to copy 2
    settle();
    answer(); // "Me"
    ASSERT_TRUE(WaitUntil([&] { return outcome.has_value(); }));

    EXPECT_EQ(heard,
              (std::vector<std::string>{"SbP", "Sra;1", "Sra;1", "Srb;2", "Srb;2", "Src;3", "Src;3", "Se"}));
    EXPECT_EQ(answered, heard.size());
    EXPECT_TRUE(outcome->Done);
    EXPECT_EQ(outcome->Progress.Acknowledged, 3);
    EXPECT_EQ(outcome->Progress.Resends, 3u);
}
