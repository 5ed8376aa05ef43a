// The "Connection" command: the window disconnects, shows the connection
// dialog over its own settings and port, and connects again, driven as a user
// would against the fake serial backend or a simulated scale on 127.0.0.1.
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QTcpServer>
#include <QToolButton>
#include <filesystem>
#include <gtest/gtest.h>

#include "app/Global.h"
#include "app/okno.h"
#include "links/ethernet/EthConnection.h"
#include "platform/Paths.h"
#include "platform/SerialFake.h"
#include "settings/CPortSetup.h"
#include "settings/ConnectionUnit.h"
#include "settings/dialogs_support.h"
#include "tools/SimProcess.h"

namespace {

using Drive = std::function<void(TConnectionForm*)>;

int Count(const std::vector<std::string>& ops, const std::string& op) {
    return static_cast<int>(std::count(ops.begin(), ops.end(), op));
}

class ConnectionCommand : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove(platform::ExeDir() + "config.xml");
        std::filesystem::remove(platform::ExeDir() + "ComPortTest.ini");
        form = new TForm1;
        // Nothing here ever talks to another machine.
        Kind = KindSerial;
        Protocol = ProtocolTCP;
        Host = "127.0.0.1";
        Port = 1001;
        SerialSetupApplied = false;
        CreateConnectionForm();
    }
    void TearDown() override {
        DestroyConnectionForm();
        delete form;
    }
    // The dialog alone, left by `drive`.
    void Show(const Drive& drive) {
        Queue(drive);
        ShowConnectionDialog(GlobalConfig.Link, &form->ComPort1, [this] { form->btnOpenPortClick(); });
    }
    // The "Connection" command around the dialog.
    void Command(const Drive& drive) {
        Queue(drive);
        form->Connection1Click();
    }
    void Queue(const Drive& drive) {
        dlgtest::WhenModalOf<TConnectionForm>([drive](TConnectionForm* dlg) { drive(dlg); });
    }
    platform::FakeSerial fake;
    TForm1* form = nullptr;
};

} // namespace

TEST_F(ConnectionCommand, ApplyStoresTheChoicesAndConnectsOnce) {
    fake.AddDevice("COM3");
    Command([](TConnectionForm* dlg) {
        dlgtest::Type(dlg->EditCOM, "3");
        dlgtest::ChooseEntry(dlg->cbBaudRate, "230400");
        dlgtest::Type(dlg->EditPort, "");
        dlgtest::Type(dlg->EditIP, "127.0.0.2");
        dlgtest::Click(dlg->sbApply);
    });
    EXPECT_EQ(form->ComPort1.Port(), "COM3");
    EXPECT_EQ(form->ComPort1.BaudRate(), br9600) << "a rate the port does not know falls back to 9600";
    EXPECT_EQ(Port, 1001) << "an empty port field";
    EXPECT_EQ(Host, "127.0.0.2");
    EXPECT_TRUE(form->ComPort1.Connected());
    EXPECT_EQ(form->FLinkState, LinkConnected);
    EXPECT_EQ(Count(fake.Ops(), "CreateFileA"), 1);

    // The next showing shows what was applied; a device path survives Apply.
    fake.AddDevice("/dev/ttyFAKE0");
    Command([](TConnectionForm* dlg) {
        EXPECT_EQ(dlg->cbBaudRate->currentText(), "9600");
        EXPECT_EQ(dlg->EditCOM->text(), "3");
        dlgtest::Type(dlg->EditCOM, "/dev/ttyFAKE0");
        dlgtest::Type(dlg->EditPort, "0");
        dlgtest::Click(dlg->sbApply);
    });
    EXPECT_EQ(form->ComPort1.Port(), "/dev/ttyFAKE0");
    EXPECT_EQ(Port, 0);
    EXPECT_TRUE(form->ComPort1.Connected());
    form->btnOpenPortClick();
}

TEST_F(ConnectionCommand, ApplyKeepsAHostAndPortLongerThanTheEditsTake) {
    // Serial mode: the host is shown and stored, never connected to.
    Host = "scale-01.factory.local";
    Port = 1234567;
    fake.AddDevice("COM2");
    Command([](TConnectionForm* dlg) {
        EXPECT_EQ(dlg->EditIP->text(), "scale-01.factory.local");
        EXPECT_EQ(dlg->EditPort->text(), "1234567");
        dlgtest::Type(dlg->EditCOM, "2");
        dlgtest::Click(dlg->sbApply);
    });
    EXPECT_EQ(Host, "scale-01.factory.local");
    EXPECT_EQ(Port, 1234567);
    EXPECT_TRUE(form->ComPort1.Connected());
    form->btnOpenPortClick();
    // Typing is still limited.
    Show([](TConnectionForm* dlg) {
        QTest::mouseClick(dlg->rgConnection->Item(1), Qt::LeftButton);
        dlgtest::Type(dlg->EditPort, "");
        QTest::keyClicks(dlg->EditPort, "9876543");
        EXPECT_EQ(dlg->EditPort->text(), "98765");
        dlgtest::CloseBox(dlg);
    });
}

TEST_F(ConnectionCommand, CancelReconnectsWithTheOldSettings) {
    fake.AddDevice("COM1");
    form->btnOpenPortClick();
    ASSERT_EQ(form->FLinkState, LinkConnected);
    fake.ClearCalls();
    Command([this](TConnectionForm* dlg) {
        EXPECT_FALSE(form->ComPort1.Connected()) << "the command disconnects first";
        dlgtest::Type(dlg->EditCOM, "7");
        dlgtest::ChooseEntry(dlg->cbBaudRate, "115200");
        QTest::mouseClick(dlg->rgConnection->Item(1), Qt::LeftButton);
        dlgtest::Click(dlg->sbCancel);
    });
    EXPECT_EQ(Kind, KindSerial);
    EXPECT_EQ(form->ComPort1.Port(), "COM1");
    EXPECT_EQ(form->ComPort1.BaudRate(), br9600);
    EXPECT_TRUE(form->ComPort1.Connected());
    EXPECT_EQ(form->FLinkState, LinkConnected);
    const auto calls = fake.Calls();
    const auto open =
        std::find_if(calls.begin(), calls.end(), [](const auto& c) { return c.op == "CreateFileA"; });
    ASSERT_NE(open, calls.end());
    EXPECT_EQ(open->text, "\\\\.\\COM1");
    EXPECT_EQ(Count(fake.Ops(), "CreateFileA"), 1);
    form->btnOpenPortClick();
}

TEST_F(ConnectionCommand, ApplyWithAMissingPortWarnsOnceForEachPress) {
    int boxes = 0;
    std::function<void(QMessageBox*)> answer = [&](QMessageBox* box) {
        ++boxes;
        EXPECT_EQ(box->text(), "Selected COM port does not exist or is occupied by other software");
        if (boxes == 1) dlgtest::WhenModalOf<QMessageBox>(answer);
        box->button(QMessageBox::Ok)->click();
    };
    Command([&](TConnectionForm* dlg) {
        dlgtest::Type(dlg->EditCOM, "8");
        dlgtest::WhenModalOf<QMessageBox>(answer);
        dlgtest::Click(dlg->sbApply);
    });
    EXPECT_EQ(boxes, 2);
    EXPECT_EQ(form->FLinkState, LinkDisconnected);
}

TEST_F(ConnectionCommand, EthernetUdpApplyLeavesTheEndpointOpen) {
    SimProcess sim;
    sim.Start({"--udp", "--log", sim.LogPath()});
    Command([&](TConnectionForm* dlg) {
        QTest::mouseClick(dlg->rgConnection->Item(1), Qt::LeftButton);
        dlgtest::Type(dlg->EditIP, "127.0.0.1");
        dlgtest::Type(dlg->EditPort, QString::fromStdString(sim.PortText()));
        QTest::mouseClick(dlg->rgEthProtocol->Item(1), Qt::LeftButton);
        dlgtest::Click(dlg->sbApply);
    });
    EXPECT_EQ(Kind, KindEthernet);
    EXPECT_EQ(Protocol, ProtocolUDP);
    EXPECT_TRUE(gui::WaitFor([this] { return form->FLinkState == LinkConnected; }));
    gui::WaitFor([] { return false; }, 100); // let any late notification arrive
    EXPECT_EQ(form->FLinkState, LinkConnected);
    ASSERT_NE(form->FEthLink->UDPServer(), nullptr);
    EXPECT_TRUE(form->FEthLink->UDPServer()->Active());
    form->SendOrder("SbP");
    EXPECT_EQ(sim.WaitForLog("SbP\r\n"), "SbP\r\n");
    form->btnOpenPortClick();
    EXPECT_TRUE(gui::WaitFor([this] { return form->FLinkState == LinkDisconnected; }));
}

TEST_F(ConnectionCommand, EthernetTcpApplyMakesOneConnection) {
    QTcpServer scale;
    ASSERT_TRUE(scale.listen(QHostAddress::LocalHost, 0));
    int connections = 0;
    QObject::connect(&scale, &QTcpServer::newConnection, [&] {
        while (scale.hasPendingConnections()) {
            scale.nextPendingConnection();
            ++connections;
        }
    });
    Command([&](TConnectionForm* dlg) {
        QTest::mouseClick(dlg->rgConnection->Item(1), Qt::LeftButton);
        dlgtest::Type(dlg->EditPort, QString::number(scale.serverPort()));
        dlgtest::Click(dlg->sbApply);
    });
    EXPECT_TRUE(gui::WaitFor([this] { return form->FLinkState == LinkConnected; }));
    gui::WaitFor([] { return false; }, 100);
    EXPECT_EQ(connections, 1);
    EXPECT_EQ(form->FLinkState, LinkConnected);
    form->btnOpenPortClick();
    EXPECT_TRUE(gui::WaitFor([this] { return form->FLinkState == LinkDisconnected; }));
}
