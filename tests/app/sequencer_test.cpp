// The transfer sequencer and reply matching, without a link: what the
// window does with replies and ticks.
#include <gtest/gtest.h>

#include <QProgressBar>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "GuiTestUtil.h"
#include "app/ProcessData.h"
#include "app/okno.h"
#include "platform/Paths.h"

namespace {

// FRowIndex while no transfer runs.
constexpr std::int32_t kIdle = -3;

class Sequencer : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove(platform::ExeDir() + "config.xml");
        form = new TForm1;
        ProcessReply("\n"); // start from an empty reply buffer
        // The tick that line armed finds no transfer and does nothing.
        ASSERT_TRUE(gui::WaitFor([&] { return !form->TimerBazaActive(); }, 2000));
    }
    void TearDown() override { delete form; }
    // Lets the pending tick run (it is due 100 ms after the reply that armed it).
    void Tick() {
        ASSERT_TRUE(gui::WaitFor([&] { return !form->TimerBazaActive(); }, 2000));
    }
    TForm1* form = nullptr;
};

} // namespace

TEST_F(Sequencer, AStartAcknowledgementBeforeAnyTransferSendsNothing) {
    EXPECT_EQ(form->FRowIndex(), kIdle);
    ProcessReply("MbP\r\n");
    EXPECT_EQ(form->FRowIndex(), kIdle);
    Tick();
    EXPECT_EQ(form->FRowIndex(), kIdle);
    EXPECT_EQ(form->bbWyslijBaze->Tag, 0);
}

TEST_F(Sequencer, StartAcknowledgementFollowsTheSelectedDatabaseKindWhenItArrives) {
    form->bbWyslijBaze->click();
    EXPECT_EQ(form->bbWyslijBaze->Tag, 1);
    EXPECT_EQ(form->bbWyslijBaze->text(), "Stop");
    EXPECT_FALSE(form->btnOpenPort->isEnabled());
    EXPECT_EQ(form->FRowIndex(), 0);
    EXPECT_FALSE(form->TimerBazaActive()); // the start button does not arm the timer
    ProcessReply("MbU\r\n");
    EXPECT_EQ(form->FRowIndex(), 0);
    EXPECT_TRUE(form->TimerBazaActive()); // re-armed even without a match
    form->rgBaza->SetItemIndex(1);
    ProcessReply("MbU\r\n");
    EXPECT_EQ(form->FRowIndex(), 1);
}

TEST_F(Sequencer, RepliesAreAssembledUntilLfAndTrimmed) {
    form->bbWyslijBaze->click();
    ProcessReply("MbP\r\n");
    ASSERT_EQ(form->FRowIndex(), 1);
    // Each acknowledgement answers a record that went out at a tick.
    Tick();
    for (const char* piece : {"M", "r", "\r"}) {
        ProcessReply(piece);
        EXPECT_EQ(form->FRowIndex(), 1);
    }
    ProcessReply("\n");
    EXPECT_EQ(form->FRowIndex(), 2);
    Tick();
    ProcessReply("  Mr  \r\n");
    EXPECT_EQ(form->FRowIndex(), 3);
    Tick();
    // Case matters; two replies in one piece are one reply that matches nothing.
    ProcessReply("mr\r\n");
    ProcessReply("Mr\r\nMr\r\n");
    ProcessReply("Mr\r\nM");
    EXPECT_EQ(form->FRowIndex(), 3);
    EXPECT_EQ(ReplyBuffer(), "");
}

TEST_F(Sequencer, AReplyWithoutLineEndIsDroppedPast64KiB) {
    form->bbWyslijBaze->click();
    ProcessReply(std::string(40000, 'x'));
    EXPECT_EQ(ReplyBuffer().size(), 40000u);
    ProcessReply(std::string(30000, 'x'));
    EXPECT_EQ(ReplyBuffer(), "");
    ProcessReply("MbP\r\n");
    EXPECT_EQ(form->FRowIndex(), 1);
}

// When the tick comes is the engine's (its tests move the clock); here: the
// window's second reply leaves the pending tick and the row as they are.
TEST_F(Sequencer, ASecondReplyWhileTheTickIsPendingLeavesTheRowAsItIs) {
    form->bbWyslijBaze->click();
    ProcessReply("MbP\r\n");
    ASSERT_TRUE(form->TimerBazaActive());
    ProcessReply("xx\r\n");
    EXPECT_TRUE(form->TimerBazaActive());
    EXPECT_EQ(form->FRowIndex(), 1);
    Tick();
    EXPECT_EQ(form->FRowIndex(), 1);
}

TEST_F(Sequencer, StopEndsTheTransferAndLateAcknowledgementsDoNothing) {
    form->bbWyslijBaze->click();
    ProcessReply("MbP\r\n");
    form->bbWyslijBaze->click(); // "Stop"
    EXPECT_EQ(form->bbWyslijBaze->text(), "Send database");
    EXPECT_TRUE(form->btnOpenPort->isEnabled());
    EXPECT_EQ(form->FRowIndex(), kIdle);
    Tick();
    for (const char* late : {"Mr\r\n", "Me\r\n", "MbP\r\n"}) {
        ProcessReply(late);
        Tick();
        EXPECT_EQ(form->FRowIndex(), kIdle);
        EXPECT_EQ(form->bbWyslijBaze->Tag, 0);
    }
}

TEST_F(Sequencer, TicksWalkTheRowsThenEndAndComplete) {
    // Fresh window: 5 rows, so the end command follows row index 6.
    form->bbWyslijBaze->click();
    ProcessReply("MbP\r\n");
    for (int k = 1; k <= 5; ++k) {
        Tick();
        EXPECT_EQ(form->FRowIndex(), k); // stays until the acknowledgement
        EXPECT_FALSE(form->ProgressSend->isHidden());
        EXPECT_EQ(form->ProgressSend->value(), k);
        ProcessReply("Mr\r\n");
    }
    Tick();
    EXPECT_EQ(form->FRowIndex(), -1);
    ProcessReply("Me\r\n");
    EXPECT_EQ(form->FRowIndex(), -2);
    auto box = gui::ExpectMessageBox();
    Tick();
    ASSERT_TRUE(gui::WaitFor([&] { return box->seen; }));
    EXPECT_EQ(box->caption, "Success");
    EXPECT_EQ(box->text, "Database was sent to scale.");
    EXPECT_EQ(box->icon, QMessageBox::Information);
    EXPECT_EQ(form->bbWyslijBaze->text(), "Send database");
    EXPECT_TRUE(form->btnOpenPort->isEnabled());
    EXPECT_TRUE(form->ProgressSend->isHidden());
    // Whatever the scale says now, no new transfer starts.
    ProcessReply("Mr\r\n");
    Tick();
    EXPECT_EQ(form->FRowIndex(), kIdle);
    EXPECT_EQ(form->bbWyslijBaze->Tag, 0);
}
