// The transfer engine on its own, against a scale played in the test, on a
// clock the test moves: what a scale hears, the options the window leaves
// off (time-out, retry limit) and many engines on one clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/EngineEvents.h"
#include "transfer/TransferEngine.h"

namespace {

using transfer::TStepClock;

std::shared_ptr<const TableData> Table(const std::string& text) {
    TableParser parser;
    parser.Feed(text.data(), text.size());
    return std::make_shared<const TableData>(parser.Finish());
}

const char* kTwoRows = "1001;Apples;2.50\n1002;Pears;3.10\n";

// A scale that answers each command once the test lets its answer through.
// `answer` gives the reply to a command ("" for none).
struct FakeScale {
    std::function<std::string(const std::string& command)> answer = [](const std::string& c) {
        return std::string(protocol::Acknowledgement(c)) + "\r\n";
    };
    int copies = 1; // how often each reply is written
    std::vector<std::string> heard;
    std::deque<std::string> pending;
    std::optional<TTransferOutcome> outcome;
    TTransferEngine* engine = nullptr;
    TEngineEvents events;

    void Attach(TTransferEngine& e) {
        engine = &e;
        e.SetListener(&events);
        events.OnSend = [this](const std::string& command) {
            heard.push_back(command);
            const std::string reply = answer(command);
            for (int i = 0; i < copies && !reply.empty(); ++i)
                pending.push_back(reply);
        };
        events.OnFinished = [this](const TTransferOutcome& o) { outcome = o; };
    }
    // Lets one answer through; false when none is waiting.
    bool AnswerOne() {
        if (pending.empty()) return false;
        const std::string reply = pending.front();
        pending.pop_front();
        engine->Feed(reply);
        return true;
    }
};

// Answers come before timers; time moves to the next timer when nothing else
// can happen. False when everything stood still before all were done.
bool RunUntilDone(TStepClock& clock, std::vector<FakeScale*> scales) {
    for (int step = 0; step < 100000; ++step) {
        if (std::all_of(scales.begin(), scales.end(), [](FakeScale* s) { return s->outcome.has_value(); }))
            return true;
        bool answered = false;
        for (FakeScale* s : scales)
            answered = s->AnswerOne() || answered;
        if (!answered && !clock.FireNext()) return false;
    }
    return false;
}

TTransferOptions Fast(int timeoutMs = 0, int retries = -1) {
    TTransferOptions o;
    o.TickMs = 1;
    o.ReplyTimeoutMs = timeoutMs;
    o.RetryLimit = retries;
    return o;
}

} // namespace

TEST(TransferEngine, TheScaleHearsStartRecordsAndEndEachATickAfterTheReplyBefore) {
    TStepClock clock;
    TTransferEngine engine({}, clock);
    TTableRows rows(Table(kTwoRows));
    engine.SetRows(&rows);
    FakeScale scale;
    scale.Attach(engine);
    std::vector<std::pair<std::int64_t, std::string>> at;
    auto send = scale.events.OnSend;
    scale.events.OnSend = [&](const std::string& c) {
        at.emplace_back(clock.Now(), c);
        send(c);
    };
    engine.Start(TDatabaseKind::Product);
    EXPECT_EQ(engine.Progress().Phase, TTransferPhase::Starting);
    EXPECT_EQ(engine.Progress().Row(), 0);
    EXPECT_FALSE(engine.TickPending()); // the start does not arm the tick
    scale.AnswerOne();                  // MbP at 0 ms
    EXPECT_EQ(engine.Progress().Phase, TTransferPhase::Records);
    EXPECT_EQ(engine.Progress().Row(), 1);
    clock.Advance(30);
    engine.Feed("xx\r\n"); // a second reply does not push the pending tick back
    clock.Advance(69);
    EXPECT_EQ(scale.heard.size(), 1u);
    clock.Advance(1);
    ASSERT_EQ(scale.heard.size(), 2u);
    EXPECT_EQ(at.back(), std::make_pair(std::int64_t{100}, std::string("Sr1001;Apples;2.50")));
    scale.AnswerOne();
    EXPECT_EQ(engine.Progress().Acknowledged, 1);
    EXPECT_EQ(engine.Progress().Row(), 2);
    clock.Advance(100);
    scale.AnswerOne();
    EXPECT_EQ(engine.Progress().Row(), 3); // all acknowledged: the end command is next
    clock.Advance(100);
    EXPECT_EQ(engine.Progress().Phase, TTransferPhase::Ending);
    EXPECT_EQ(engine.Progress().Row(), 3);
    scale.AnswerOne();
    EXPECT_EQ(engine.Progress().Phase, TTransferPhase::Ended);
    EXPECT_FALSE(scale.outcome);
    clock.Advance(100);
    ASSERT_TRUE(scale.outcome);
    EXPECT_TRUE(scale.outcome->Done);
    EXPECT_EQ(scale.outcome->Row, 3);
    EXPECT_EQ(scale.heard,
              (std::vector<std::string>{"SbP", "Sr1001;Apples;2.50", "Sr1002;Pears;3.10", "Se"}));
    EXPECT_EQ(at.back().first, 300);
    EXPECT_EQ(scale.outcome->Progress.Replies, 5u);
    EXPECT_FALSE(engine.Running());
}

TEST(TransferEngine, AnIdleEngineTakesNoReplyForAStartAndAnEmptyRecordEndsTheTransferFailed) {
    TStepClock clock;
    TTransferEngine engine({}, clock);
    struct : TTransferRows {
        int RowCount() const override { return 3; }
        std::string RecordText(int r) const override {
            return r == 1 ? std::string() : std::string(1, static_cast<char>('a' + r));
        }
    } rows;
    engine.SetRows(&rows);
    FakeScale scale;
    scale.Attach(engine);
    engine.Feed("MbP\r\n");
    clock.Advance(1000);
    EXPECT_TRUE(scale.heard.empty());
    EXPECT_EQ(engine.Progress().Phase, TTransferPhase::Idle);

    engine.Start(TDatabaseKind::User);
    ASSERT_TRUE(RunUntilDone(clock, {&scale}));
    EXPECT_EQ(scale.heard, (std::vector<std::string>{"SbU", "Sra", "Se"}));
    EXPECT_FALSE(scale.outcome->Done);
    EXPECT_EQ(scale.outcome->Fault, TTransferFault::EmptyRecord);
    EXPECT_EQ(scale.outcome->Row, 2);
    EXPECT_TRUE(scale.outcome->Progress.SendFailed);
}

TEST(TransferEngine, AWrongReplyIsSentAgainUpToTheLimitThenTheTransferFailsAtThatRow) {
    TStepClock clock;
    TTransferEngine engine(Fast(0, 3), clock);
    TTableRows rows(Table(kTwoRows));
    engine.SetRows(&rows);
    FakeScale scale;
    // The start command is answered wrongly once: with a limit it is repeated too.
    int starts = 0;
    scale.answer = [&](const std::string& c) {
        if (c == "SbP") return std::string(++starts == 1 ? "MbU\r\n" : "MbP\r\n");
        return std::string(c.rfind("Sr1002", 0) == 0 ? "Mx\r\n" : "Mr\r\n");
    };
    scale.Attach(engine);
    engine.Start(TDatabaseKind::Product);
    ASSERT_TRUE(RunUntilDone(clock, {&scale}));

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
    TStepClock clock;
    TTransferEngine engine(Fast(20, 2), clock);
    TTableRows rows(Table(kTwoRows));
    engine.SetRows(&rows);
    FakeScale scale;
    scale.answer = [](const std::string& c) {
        return std::string(c == "Se" ? "" : c == "SbU" ? "MbU\r\n" : "Mr\r\n");
    };
    scale.Attach(engine);
    engine.Start(TDatabaseKind::User);
    ASSERT_TRUE(RunUntilDone(clock, {&scale}));

    EXPECT_EQ(scale.heard,
              (std::vector<std::string>{"SbU", "Sr1001;Apples;2.50", "Sr1002;Pears;3.10", "Se", "Se", "Se"}));
    EXPECT_EQ(scale.outcome->Fault, TTransferFault::NoReply);
    EXPECT_EQ(scale.outcome->Row, 3); // the end command
    EXPECT_EQ(scale.outcome->Command, "Se");
    EXPECT_EQ(scale.outcome->Tries, 3);
    EXPECT_EQ(scale.outcome->Progress.Acknowledged, 2);
    // Nothing more goes out once it failed: no timer is left.
    EXPECT_FALSE(clock.FireNext());
    EXPECT_EQ(scale.heard.size(), 6u);
}

TEST(TransferEngine, ManyEnginesOnOneLoopEachSendTheWholeTableOnce) {
    TTableRows table(Table("a;1\nb;2\nc;3\n"));
    TStepClock clock;
    constexpr int kEngines = 40;
    std::vector<std::unique_ptr<TTransferEngine>> engines;
    std::vector<FakeScale> scales(kEngines);
    for (int i = 0; i < kEngines; ++i) {
        TTransferOptions options = Fast(1000, 1);
        options.TickMs = 5;
        engines.push_back(std::make_unique<TTransferEngine>(options, clock));
        engines.back()->SetRows(&table);
        FakeScale& scale = scales[static_cast<std::size_t>(i)];
        // Every other scale acknowledges twice: the second one counts for nothing.
        scale.copies = 1 + i % 2;
        scale.Attach(*engines.back());
    }
    for (auto& e : engines)
        e->Start(TDatabaseKind::Product);
    std::vector<FakeScale*> all;
    for (auto& s : scales)
        all.push_back(&s);
    ASSERT_TRUE(RunUntilDone(clock, all));
    for (auto& s : scales) {
        EXPECT_TRUE(s.outcome->Done);
        EXPECT_EQ(s.heard, (std::vector<std::string>{"SbP", "Sra;1", "Srb;2", "Src;3", "Se"}));
        EXPECT_EQ(s.outcome->Progress.Resends, 0u);
    }
}

// A slow scale answers every copy it got, in order; the test lets each answer
// through and fires the reply time-out itself.
TEST(TransferEngine, AnAnswerToAnEarlierCopyNeverAcknowledgesTheNextCommand) {
    TStepClock clock;
    TTransferEngine engine(Fast(600000, 3), clock); // the time-out fires only when the test says
    TTableRows rows(Table("a;1\nb;2\nc;3\n"));
    engine.SetRows(&rows);
    std::vector<std::string> heard, answers;
    std::optional<TTransferOutcome> outcome;
    TEngineEvents events;
    engine.SetListener(&events);
    events.OnSend = [&](const std::string& c) {
        const bool first = std::count(heard.begin(), heard.end(), c) == 0;
        heard.push_back(c);
        // Rows b and c are refused the first time.
        answers.push_back(c == "SbP" ? "MbP" : c == "Se" ? "Me" : first && c != "Sra;1" ? "Mx" : "Mr");
    };
    events.OnFinished = [&](const TTransferOutcome& o) { outcome = o; };
    std::size_t answered = 0;
    auto answer = [&] { engine.Feed(answers.at(answered++) + "\r\n"); };
    // Every answer arms the tick; once it has run, all it sent is heard.
    auto settle = [&] { ASSERT_TRUE(clock.Fire(0)); };

    engine.Start(TDatabaseKind::Product);
    answer();
    settle();
    ASSERT_TRUE(clock.Fire(1)); // the time-out: row a twice
    answer();                   // "Mr" to copy 1: row a is acknowledged, row b goes out
    settle();
    EXPECT_EQ(engine.Progress().Acknowledged, 1);
    answer(); // "Mr" to copy 2 of row a: owed, not row b's
    settle();
    EXPECT_EQ(engine.Progress().Acknowledged, 1);
    answer(); // "Mx" to row b: sent again
    settle();
    answer(); // "Mr": row b acknowledged, row c goes out
    settle();
    ASSERT_TRUE(clock.Fire(1)); // the time-out: row c twice
    answer();                   // "Mx" to copy 1: copy 2's answer is still to come
    settle();
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "Src;3"), 2);
    answer(); // "Mr" to copy 2
    settle();
    answer(); // "Me"
    settle();
    ASSERT_TRUE(outcome.has_value());

    EXPECT_EQ(heard,
              (std::vector<std::string>{"SbP", "Sra;1", "Sra;1", "Srb;2", "Srb;2", "Src;3", "Src;3", "Se"}));
    EXPECT_EQ(answered, heard.size());
    EXPECT_TRUE(outcome->Done);
    EXPECT_EQ(outcome->Progress.Acknowledged, 3);
    EXPECT_EQ(outcome->Progress.Resends, 3u);
}

namespace {

// A scale on the test's clock: each command is answered `delayMs` after it
// was heard and, when `againMs` is set, once more that long after the first.
struct TimedScale {
    transfer::TStepClock& clock;
    int delayMs = 1;
    int againMs = 0;
    std::function<std::string(const std::string& command)> answer = [](const std::string& c) {
        return std::string(protocol::Acknowledgement(c));
    };
    std::vector<std::string> heard;
    std::vector<std::unique_ptr<transfer::TEngineTimer>> replies;
    std::optional<TTransferOutcome> outcome;
    TEngineEvents events;

    explicit TimedScale(transfer::TStepClock& c) : clock(c) {}
    void Attach(TTransferEngine& engine) {
        engine.SetListener(&events);
        events.OnSend = [this, &engine](const std::string& command) {
            heard.push_back(command);
            const std::string reply = answer(command) + "\r\n";
            for (int at : {delayMs, againMs > 0 ? delayMs + againMs : 0}) {
                if (at == 0) continue;
                replies.push_back(clock.NewTimer(false));
                replies.back()->OnTimeout = [&engine, reply] { engine.Feed(reply); };
                replies.back()->Start(at);
            }
        };
        events.OnFinished = [this](const TTransferOutcome& o) { outcome = o; };
    }
    bool RunFor(std::int64_t ms) {
        for (std::int64_t t = 0; t < ms && !outcome; ++t)
            clock.Advance(1);
        return outcome.has_value();
    }
};

TTransferOptions Strict(int timeoutMs = 5000, int retries = 3) {
    TTransferOptions o;
    o.ReplyTimeoutMs = timeoutMs;
    o.RetryLimit = retries;
    o.StrictReplies = true;
    return o;
}

std::shared_ptr<const TableData> Rows(int n) {
    std::string t;
    for (int r = 1; r <= n; ++r)
        t += std::to_string(r) + ";x\n";
    return Table(t);
}

} // namespace

// Row 5 is refused, and a stray "Mr" comes before it goes out again: it
// answers no copy, so it acknowledges nothing, and the transfer fails.
TEST(TransferEngine, AStrayReplyAfterARefusalAcknowledgesNothingAndFailsTheTransfer) {
    TStepClock clock;
    TTransferEngine engine(Strict(), clock);
    TTableRows rows(Rows(8));
    engine.SetRows(&rows);
    TimedScale scale(clock);
    scale.answer = [](const std::string& c) {
        return std::string(c == "Sr5;x" ? "Mx" : protocol::Acknowledgement(c));
    };
    scale.Attach(engine);
    auto send = scale.events.OnSend;
    scale.events.OnSend = [&](const std::string& c) {
        send(c);
        if (c != "Sr5;x") return;
        // 20 ms after the refusal, well before the tick sends row 5 again.
        scale.replies.push_back(clock.NewTimer(false));
        scale.replies.back()->OnTimeout = [&] { engine.Feed("Mr\r\n"); };
        scale.replies.back()->Start(scale.delayMs + 20);
    };
    engine.Start(TDatabaseKind::Product);
    ASSERT_TRUE(scale.RunFor(10000));

    const TTransferOutcome& o = *scale.outcome;
    EXPECT_FALSE(o.Done);
    EXPECT_EQ(o.Fault, TTransferFault::TooManyReplies);
    EXPECT_EQ(o.Progress.Acknowledged, 4);
    EXPECT_EQ(o.Row, 5);
    EXPECT_EQ(o.Reply, "Mr");
    EXPECT_EQ(o.Progress.CommandsSent, 6u);
    EXPECT_EQ(o.Progress.Replies, 7u);
    EXPECT_EQ(scale.heard.back(), "Sr5;x"); // not sent again
}

// Every command answered twice, 150 ms apart, row 5 refused: the second
// answers land while the next command is out, where they cannot be told from
// its own. Counting them shows it: the scale may not hold the table.
TEST(TransferEngine, AScaleThatAnswersEveryCommandTwiceCannotBeShownToHoldTheTable) {
    for (int delayMs : {1, 60, 160}) {
        TStepClock clock;
        TTransferEngine engine(Strict(), clock);
        TTableRows rows(Rows(8));
        engine.SetRows(&rows);
        TimedScale scale(clock);
        scale.delayMs = delayMs;
        scale.againMs = 150;
        scale.answer = [](const std::string& c) {
            return std::string(c == "Sr5;x" ? "Mx" : protocol::Acknowledgement(c));
        };
        scale.Attach(engine);
        engine.Start(TDatabaseKind::Product);
        ASSERT_TRUE(scale.RunFor(60000)) << delayMs;
        const TTransferOutcome& o = *scale.outcome;
        EXPECT_FALSE(o.Done) << delayMs;
        EXPECT_EQ(o.Fault, TTransferFault::TooManyReplies) << delayMs;
        EXPECT_EQ(o.Progress.Replies, o.Progress.CommandsSent + 1) << delayMs;
        EXPECT_LT(o.Progress.Acknowledged, 5) << delayMs;
    }
}

// Two replies in one read are two replies: both copies of a command sent
// again after a time-out are answered, and neither is taken for the next.
TEST(TransferEngine, WithStrictRepliesEachLineEndsOneReply) {
    TStepClock clock;
    TTransferEngine engine(Strict(1000, 1), clock);
    TTableRows rows(Rows(3));
    engine.SetRows(&rows);
    FakeScale scale;
    scale.answer = [](const std::string&) { return std::string(); }; // the test answers itself
    scale.Attach(engine);
    std::vector<std::string>& heard = scale.heard;
    std::optional<TTransferOutcome>& outcome = scale.outcome;
    engine.Start(TDatabaseKind::Product);
    clock.Advance(1000); // no answer in time: the start goes out again
    ASSERT_EQ(heard.size(), 2u);
    engine.Feed("MbP\r\nMbP"); // both copies answered, the second line still open
    EXPECT_EQ(engine.ReplyBuffer(), "MbP");
    EXPECT_EQ(engine.Progress().Phase, TTransferPhase::Records);
    engine.Feed("\r\n");
    clock.Advance(100);
    ASSERT_EQ(heard.size(), 3u);
    clock.Advance(1000);
    ASSERT_EQ(heard.size(), 4u); // row 1 twice
    engine.Feed("Mr\r\nMr\r\n");
    EXPECT_EQ(engine.Progress().Acknowledged, 1);
    for (int i = 0; i < 3 && !outcome; ++i) {
        clock.Advance(100);
        engine.Feed(std::string(protocol::Acknowledgement(heard.back())) + "\r\n");
    }
    clock.Advance(100);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->Done);
    EXPECT_EQ(heard, (std::vector<std::string>{"SbP", "SbP", "Sr1;x", "Sr1;x", "Sr2;x", "Sr3;x", "Se"}));
    EXPECT_EQ(outcome->Progress.Resends, 2u);
}

// At pace 0 the next command follows the acknowledgement with no time passing, once every
// line of the text that brought it is matched: a second reply in the same read answers no
// copy and fails the transfer, as it does at the window's pause.
TEST(TransferEngine, AtPaceZeroEveryReplyOfAReadIsMatchedBeforeTheNextCommandGoesOut) {
    TStepClock clock;
    TTransferOptions options = Strict();
    options.TickMs = 0;
    TTransferEngine engine(options, clock);
    TTableRows rows(Rows(3));
    engine.SetRows(&rows);
    FakeScale scale;
    scale.answer = [](const std::string&) { return std::string(); }; // the test answers itself
    scale.Attach(engine);
    std::vector<std::string>& heard = scale.heard;
    std::optional<TTransferOutcome>& outcome = scale.outcome;
    TEngineEvents& events = scale.events; // the inline scale below replaces its send
    engine.Start(TDatabaseKind::Product);
    engine.Feed("MbP\r\n");
    EXPECT_EQ(heard, (std::vector<std::string>{"SbP", "Sr1;x"}));
    EXPECT_FALSE(engine.TickPending());
    engine.Feed("Mr\r\nMr\r\n");
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->Fault, TTransferFault::TooManyReplies);
    EXPECT_EQ(outcome->Progress.Acknowledged, 1);
    EXPECT_FALSE(clock.FireNext());
    EXPECT_EQ(heard.size(), 2u);

    // A scale that answers from inside the send (as a test's does) gets the whole table
    // from the one Feed, one command after the other, not a call within a call per row.
    TTableRows many(Rows(5000));
    TTransferEngine inline0(options, clock);
    inline0.SetRows(&many);
    heard.clear();
    outcome.reset();
    events.OnSend = [&](const std::string& c) {
        heard.push_back(c);
        inline0.Feed(std::string(protocol::Acknowledgement(c)) + "\r\n");
    };
    inline0.SetListener(&events);
    inline0.Start(TDatabaseKind::Product);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->Done);
    EXPECT_EQ(heard.size(), 5002u);
    events.OnSend = [&](const std::string& c) { heard.push_back(c); };

    // A refusal is sent again at once, up to the limit, and a silent scale still gets its time-out.
    TStepClock clock2;
    options.RetryLimit = 1;
    options.ReplyTimeoutMs = 300;
    TTransferEngine second(options, clock2);
    second.SetRows(&rows);
    heard.clear();
    outcome.reset();
    second.SetListener(&events);
    second.Start(TDatabaseKind::Product);
    second.Feed("MbP\r\n");
    second.Feed("Mx\r\n");
    EXPECT_EQ(heard, (std::vector<std::string>{"SbP", "Sr1;x", "Sr1;x"}));
    second.Feed("Mr\r\n");
    clock2.Advance(299);
    EXPECT_FALSE(outcome.has_value());
    clock2.Advance(1);
    EXPECT_EQ(heard.back(), "Sr2;x");
    EXPECT_EQ(heard.size(), 5u); // sent again after the time-out
    clock2.Advance(300);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->Fault, TTransferFault::NoReply);
    EXPECT_EQ(outcome->Row, 2);
}
