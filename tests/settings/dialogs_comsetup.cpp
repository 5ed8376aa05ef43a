// The advanced serial settings dialog driven as a user would.
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <algorithm>
#include <gtest/gtest.h>
// termios2 for the exact rate; <termios.h> (and so <pty.h>) would clash with it.
#include <asm/termbits.h>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "dialogs_support.h"
#include "platform/SerialFake.h"
#include "settings/CPortSetup.h"

namespace {

using Drive = std::function<void(TComSetupFrm*)>;

// Opens the dialog for the port; `drive` runs once it is up.
void RunDialog(TCustomComPort& port, const Drive& drive) {
    bool driven = false;
    dlgtest::WhenModalOf<TComSetupFrm>([&](TComSetupFrm* dlg) {
        driven = true;
        drive(dlg);
    });
    ExecuteComSetup(&port);
    EXPECT_TRUE(driven);
}

// Picks values that differ from the port's everywhere except the port name.
void ChooseOtherValues(TComSetupFrm* dlg) {
    dlgtest::ChooseEntry(dlg->Combo2, "38400");
    dlgtest::ChooseEntry(dlg->Combo3, "7");
    dlgtest::ChooseEntry(dlg->Combo4, "2");
    dlgtest::ChooseEntry(dlg->Combo5, "Odd");
    dlgtest::ChooseEntry(dlg->Combo6, "Hardware");
}

int Count(const std::vector<std::string>& ops, const std::string& op) {
    return static_cast<int>(std::count(ops.begin(), ops.end(), op));
}

class AdvancedDialog : public ::testing::Test {
protected:
    void SetUp() override {
        fake.AddDevice("COM1");
        port.SetPort("COM1");
        SerialSetupApplied = false;
    }
    void ExpectDesignSettings() {
        EXPECT_EQ(port.Port(), "COM1");
        EXPECT_EQ(port.BaudRate(), br9600);
        EXPECT_EQ(port.DataBits(), dbEight);
        EXPECT_EQ(port.StopBits(), sbOneStopBit);
        EXPECT_EQ(port.Parity().Bits(), prNone);
        EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
    }
    platform::FakeSerial fake;
    TComPort port;
};

} // namespace

TEST_F(AdvancedDialog, ShowsItsLayoutAndThePortsCurrentValues) {
    port.SetBaudRate(br19200);
    port.SetDataBits(dbSeven);
    port.SetStopBits(sbTwoStopBits);
    port.Parity().SetBits(prEven);
    port.FlowControl().SetFlowControl(fcSoftware);
    std::vector<std::string> system;
    ListSerialPorts(system);
    RunDialog(port, [&](TComSetupFrm* dlg) {
        EXPECT_EQ(dlg->windowTitle(), "RS-232 settings");
        EXPECT_EQ(dlg->size(), QSize(231, 216));
        EXPECT_EQ(dlg->GroupBox1->title(), " Settings: ");
        EXPECT_EQ(dlg->Label6->text(), "Flow control:");
        // The lists move right only as far as the labels need (fonts differ).
        EXPECT_GE(dlg->Combo1->x(), 80);
        EXPECT_EQ(dlg->Combo1->y(), 16);
        EXPECT_EQ(dlg->Combo1->geometry().right(), 208);
        dlgtest::ExpectLabelsClearOfTheirLists(dlg);
        EXPECT_EQ(dlg->sbApply->text(), "Zastosuj");
        EXPECT_EQ(dlg->sbApply->toolTip(), "Apply settings");
        EXPECT_EQ(dlg->sbCancel->text(), "Anuluj");
        EXPECT_FALSE(dlg->BitBtnApply->isVisible());
        ASSERT_EQ(dlg->Combo1->count(), static_cast<int>(system.size()));
        for (int i = 0; i < dlg->Combo1->count(); ++i)
            EXPECT_EQ(ComItemValue(*dlg->Combo1, i), system[static_cast<std::size_t>(i)]);
        EXPECT_EQ(dlg->Combo2->Text(), "19200");
        EXPECT_EQ(dlg->Combo3->Text(), "7");
        EXPECT_EQ(dlg->Combo4->Text(), "2");
        EXPECT_EQ(dlg->Combo5->Text(), "Even");
        EXPECT_EQ(dlg->Combo6->Text(), "Software");

        // Neither Escape nor Enter ends the dialog.
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter})
            QTest::keyClick(dlg, key);
        QApplication::processEvents();
        EXPECT_TRUE(dlg->isVisible());
        dlgtest::CloseBox(dlg);
    });
    EXPECT_FALSE(SerialSetupApplied);
}

TEST_F(AdvancedDialog, ApplyWritesTheSixChoicesToTheOpenPortInOneBatch) {
    port.Open();
    fake.ClearCalls();
    RunDialog(port, [](TComSetupFrm* dlg) {
        ChooseOtherValues(dlg);
        dlgtest::Click(dlg->sbApply);
    });
    EXPECT_TRUE(SerialSetupApplied);
    EXPECT_EQ(port.BaudRate(), br38400);
    EXPECT_EQ(port.DataBits(), dbSeven);
    EXPECT_EQ(port.StopBits(), sbTwoStopBits);
    EXPECT_EQ(port.Parity().Bits(), prOdd);
    EXPECT_EQ(port.FlowControl().ControlRTS(), rtsHandshake);
    EXPECT_TRUE(port.FlowControl().OutCTSFlow());

    const auto ops = fake.Ops();
    EXPECT_EQ(Count(ops, "SetCommState"), 1);
    EXPECT_EQ(Count(ops, "CreateFileA"), 0) << "the port was not reopened";
    const platform::DCB dcb = fake.LastDcb();
    EXPECT_EQ(dcb.BaudRate, 38400u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, platform::ODDPARITY);
    EXPECT_EQ(dcb.StopBits, platform::TWOSTOPBITS);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_TRUE(port.Connected());
    port.Close();
}

TEST_F(AdvancedDialog, CancelAndCloseBoxChangeNothingAndTheFlagFollowsTheButtons) {
    port.Open();

    // Apply without a change writes the same values back, once.
    fake.ClearCalls();
    RunDialog(port, [](TComSetupFrm* dlg) { dlgtest::Click(dlg->sbApply); });
    EXPECT_TRUE(SerialSetupApplied);
    EXPECT_EQ(Count(fake.Ops(), "SetCommState"), 1);
    ExpectDesignSettings();

    // The close box keeps the flag of the previous run.
    fake.ClearCalls();
    RunDialog(port, [](TComSetupFrm* dlg) {
        ChooseOtherValues(dlg);
        dlgtest::CloseBox(dlg);
    });
    EXPECT_TRUE(SerialSetupApplied);
    ExpectDesignSettings();

    RunDialog(port, [](TComSetupFrm* dlg) {
        ChooseOtherValues(dlg);
        dlgtest::Click(dlg->sbCancel);
    });
    EXPECT_FALSE(SerialSetupApplied);
    ExpectDesignSettings();

    RunDialog(port, [](TComSetupFrm* dlg) { dlgtest::CloseBox(dlg); });
    EXPECT_FALSE(SerialSetupApplied);
    EXPECT_EQ(Count(fake.Ops(), "SetCommState"), 0);
    port.Close();
}

TEST_F(AdvancedDialog, FailingApplyReachesTheCallerAndClosesTheBatch) {
    // The fake knows only COM9 (and COM1), so any other listed device fails to open.
    fake.AddDevice("COM9");
    port.SetPort("COM9");
    std::vector<std::string> system;
    ListSerialPorts(system);
    const auto other = std::find_if(system.begin(), system.end(),
                                    [](const std::string& p) { return !SamePortDevice(p, "COM9"); });
    if (other == system.end()) GTEST_SKIP() << "the system lists no serial port";
    port.Open();
    bool failed = false;
    try {
        RunDialog(port, [&](TComSetupFrm* dlg) {
            dlgtest::ChooseEntry(dlg->Combo1, QString::fromStdString(*other));
            dlgtest::ChooseEntry(dlg->Combo2, "1200");
            dlgtest::Click(dlg->sbApply);
        });
    } catch (const EComPort& e) {
        failed = true;
        EXPECT_EQ(e.MessageCode(), 1);
    }
    EXPECT_TRUE(failed);
    EXPECT_TRUE(SerialSetupApplied);

    port.SetPort("COM9");
    port.Open();
    fake.ClearCalls();
    port.SetBaudRate(br2400);
    EXPECT_EQ(Count(fake.Ops(), "SetCommState"), 1) << "a change reaches the device: no batch left open";
    port.Close();
}

TEST(AdvancedDialogPty, OpenPtyPortReceivesTheNewLineSettings) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string name = ::ptsname(master);
    const int slave = ::open(name.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    {
        TComPort port;
        port.SetPort(name);
        port.Open();
        RunDialog(port, [](TComSetupFrm* dlg) {
            EXPECT_EQ(dlg->Combo1->currentIndex(), -1) << "a pseudo-terminal is not a listed port";
            dlgtest::ChooseEntry(dlg->Combo2, "4800");
            dlgtest::ChooseEntry(dlg->Combo4, "2");
            dlgtest::ChooseEntry(dlg->Combo6, "Hardware");
            dlgtest::Click(dlg->sbApply);
        });
        EXPECT_EQ(port.Port(), name) << "no pick keeps the port's name";
        EXPECT_TRUE(port.Connected());

        // A pseudo-terminal keeps rate, stop bits and flow control (it forces
        // 8 data bits without parity, so those are checked on the fake).
        termios2 t{};
        ASSERT_EQ(::ioctl(slave, TCGETS2, &t), 0);
        EXPECT_EQ(t.c_ospeed, 4800u);
        EXPECT_TRUE(t.c_cflag & CSTOPB);
        EXPECT_TRUE(t.c_cflag & CRTSCTS);
        port.Close();
    }
    ::close(slave);
    ::close(master);
}
