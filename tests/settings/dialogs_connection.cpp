// The connection settings dialog on its own, driven as a user would: it
// edits the link settings and the serial port it is given and tells its
// owner when a button was pressed.
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QToolButton>
#include <gtest/gtest.h>

#include "dialogs_support.h"
#include "links/ethernet/LinkState.h"
#include "links/serial/CPort.h"
#include "platform/SerialFake.h"
#include "settings/CPortSetup.h"
#include "settings/ConnectionUnit.h"
#include "settings/Controls.h"

namespace {

using Drive = std::function<void(TConnectionForm*)>;

class ConnectionDialog : public ::testing::Test {
protected:
    void SetUp() override {
        // The port as the main window has it: COM1 at 9600 8N1.
        ComPort1.SetPort("COM1");
        ComPort1.SetBaudRate(br9600);
        ComPort1.SetDataBits(dbEight);
        ComPort1.SetStopBits(sbOneStopBit);
        // Nothing here ever talks to another machine.
        Kind = KindSerial;
        Protocol = ProtocolTCP;
        Host = "127.0.0.1";
        Port = 1001;
        SerialSetupApplied = false;
        CreateConnectionForm();
    }
    void TearDown() override { DestroyConnectionForm(); }
    // The dialog, left by `drive`.
    void Show(const Drive& drive) {
        dlgtest::WhenModalOf<TConnectionForm>([drive](TConnectionForm* dlg) { drive(dlg); });
        ShowConnectionDialog(Link, &ComPort1, [this] { OnButton(); });
    }
    // What the window does on either button: press its connect button.
    std::function<void()> OnButton = [this] { ++presses; };

    platform::FakeSerial fake;
    TComPort ComPort1;
    settings::LinkSettings Link;
    std::uint8_t& Kind = Link.Kind;
    std::uint8_t& Protocol = Link.Protocol;
    std::string& Host = Link.Host;
    std::int32_t& Port = Link.Port;
    int presses = 0;
};

} // namespace

TEST_F(ConnectionDialog, VisibleBoxFollowsKindAndTheCloseBoxPressesNothing) {
    Kind = KindEthernet;
    Protocol = ProtocolUDP;
    Port = 4001;
    Show([](TConnectionForm* dlg) {
        EXPECT_EQ(dlg->windowTitle(), "Ustawienia połączenia");
        EXPECT_EQ(dlg->rgConnection->ItemIndex(), 1);
        EXPECT_TRUE(dlg->gbEthernet->isVisible());
        EXPECT_FALSE(dlg->gbSerialPort->isVisible());
        EXPECT_EQ(dlg->EditIP->text(), "127.0.0.1");
        EXPECT_EQ(dlg->EditPort->text(), "4001");
        EXPECT_EQ(dlg->rgEthProtocol->ItemIndex(), 1);
        // The user's choice switches the boxes at once.
        QTest::mouseClick(dlg->rgConnection->Item(0), Qt::LeftButton);
        EXPECT_TRUE(dlg->gbSerialPort->isVisible());
        EXPECT_FALSE(dlg->gbEthernet->isVisible());
        dlgtest::CloseBox(dlg);
    });
    EXPECT_EQ(Kind, KindEthernet) << "the close box stores nothing";
    EXPECT_EQ(presses, 0) << "and presses nothing";

    Kind = KindSerial;
    Show([](TConnectionForm* dlg) {
        EXPECT_TRUE(dlg->gbSerialPort->isVisible());
        EXPECT_FALSE(dlg->gbEthernet->isVisible());
        dlgtest::CloseBox(dlg);
    });
}

TEST_F(ConnectionDialog, ShowsThePortNumberAndARateFromTheList) {
    const struct {
        const char* port;
        TBaudRate rate;
        const char* shownPort;
        const char* shownRate;
    } cases[] = {
        {"COM2", br19200, "2", "19200"},
        {"COM12", br14400, "12", "4800"},
        {"COM1", brCustom, "1", "4800"},
        {"/dev/ttyUSB0", br115200, "/dev/ttyUSB0", "115200"},
    };
    for (const auto& c : cases) {
        ComPort1.SetPort(c.port);
        ComPort1.SetBaudRate(c.rate);
        Show([&](TConnectionForm* dlg) {
            EXPECT_EQ(dlg->EditCOM->text(), c.shownPort);
            EXPECT_EQ(dlg->cbBaudRate->currentText(), c.shownRate);
            dlgtest::CloseBox(dlg);
        });
    }
}

TEST_F(ConnectionDialog, AdvancedOptionsRefreshExactlyAfterTheAdvancedApply) {
    // Opens the advanced dialog from the connection dialog and leaves it by `leave`.
    auto advanced = [](TConnectionForm* dlg, const std::function<void(TComSetupFrm*)>& leave) {
        dlgtest::WhenModalOf<TComSetupFrm>([leave](TComSetupFrm* adv) { leave(adv); });
        dlgtest::Click(dlg->sbSerialAdvanced);
    };
    Show([&](TConnectionForm* dlg) {
        advanced(dlg, [](TComSetupFrm* adv) {
            dlgtest::ChooseEntry(adv->Combo2, "38400");
            dlgtest::Click(adv->sbCancel);
        });
        EXPECT_EQ(dlg->cbBaudRate->currentText(), "9600");

        advanced(dlg, [](TComSetupFrm* adv) {
            dlgtest::ChooseEntry(adv->Combo2, "57600");
            dlgtest::Click(adv->sbApply);
        });
        EXPECT_EQ(dlg->cbBaudRate->currentText(), "57600");
        EXPECT_EQ(dlg->EditCOM->text(), "1");

        // The close box: refreshed because the previous use ended with Apply...
        dlgtest::Type(dlg->EditCOM, "5");
        advanced(dlg, [](TComSetupFrm* adv) { dlgtest::CloseBox(adv); });
        EXPECT_EQ(dlg->EditCOM->text(), "1");

        // ...and not after a Cancel.
        advanced(dlg, [](TComSetupFrm* adv) { dlgtest::Click(adv->sbCancel); });
        dlgtest::Type(dlg->EditCOM, "5");
        advanced(dlg, [](TComSetupFrm* adv) { dlgtest::CloseBox(adv); });
        EXPECT_EQ(dlg->EditCOM->text(), "5");
        dlgtest::CloseBox(dlg);
    });
    EXPECT_EQ(ComPort1.BaudRate(), br57600) << "what the advanced dialog applied stays";
    EXPECT_FALSE(ComPort1.Connected());
}

TEST_F(ConnectionDialog, ApplyStoresWhatItEditsBeforeItTellsTheOwnerOnce) {
    // The owner connects with what was applied: the values are in place when it hears of the press.
    std::string seen;
    OnButton = [&] {
        ++presses;
        seen = std::to_string(Kind) + " " + std::to_string(Protocol) + " " + Host + " " +
               std::to_string(Port) + " " + ComPort1.Port() + " " + BaudRateToText(ComPort1.BaudRate());
    };
    Show([](TConnectionForm* dlg) {
        QTest::mouseClick(dlg->rgConnection->Item(1), Qt::LeftButton);
        QTest::mouseClick(dlg->rgEthProtocol->Item(1), Qt::LeftButton);
        dlgtest::Type(dlg->EditIP, "127.0.0.2");
        dlgtest::Type(dlg->EditPort, "4001");
        QTest::mouseClick(dlg->rgConnection->Item(0), Qt::LeftButton);
        dlgtest::Type(dlg->EditCOM, "3");
        dlgtest::ChooseEntry(dlg->cbBaudRate, "19200");
        dlgtest::Click(dlg->sbApply);
    });
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(seen, "0 1 127.0.0.2 4001 COM3 19200");
    EXPECT_FALSE(ComPort1.Connected()) << "the dialog itself connects nothing";

    // Cancel stores nothing and tells the owner once.
    presses = 0;
    Show([](TConnectionForm* dlg) {
        dlgtest::Type(dlg->EditIP, "127.0.0.9");
        dlgtest::Type(dlg->EditCOM, "7");
        dlgtest::Click(dlg->sbCancel);
    });
    EXPECT_EQ(presses, 1);
    EXPECT_EQ(Host, "127.0.0.2");
    EXPECT_EQ(ComPort1.Port(), "COM3");
}
