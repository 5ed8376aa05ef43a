// The port against the in-memory backend: exact device calls and event order.
#include "SerialTestUtil.h"
#include "links/serial/CPort.h"
#include "platform/SerialFake.h"

#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using platform::FakeSerial;

namespace {

using Strings = std::vector<std::string>;

class FakePort : public ::testing::Test {
protected:
    FakePort() {
        fake.AddDevice("COM1");
        fake.AddDevice("COM2");
        Record(port);
    }

    void Record(TCustomComPort& p) {
        auto note = [this](std::string s) {
            std::lock_guard lock(logMutex);
            log.push_back(std::move(s));
        };
        p.OnBeforeOpen = [=](TCustomComPort*) { note("BeforeOpen"); };
        p.OnAfterOpen = [=](TCustomComPort*) { note("AfterOpen"); };
        p.OnBeforeClose = [=](TCustomComPort*) { note("BeforeClose"); };
        p.OnAfterClose = [=](TCustomComPort*) { note("AfterClose"); };
        p.OnRxChar = [=](TCustomComPort*, int n) { note("RxChar:" + std::to_string(n)); };
        p.OnTxEmpty = [=](TCustomComPort*) { note("TxEmpty"); };
        p.OnBreak = [=](TCustomComPort*) { note("Break"); };
        p.OnRing = [=](TCustomComPort*) { note("Ring"); };
        p.OnRxFlag = [=](TCustomComPort*) { note("RxFlag"); };
        p.OnRx80Full = [=](TCustomComPort*) { note("Rx80Full"); };
        p.OnCTSChange = [=](TCustomComPort*, bool on) { note(std::string("CTS:") + (on ? "1" : "0")); };
        p.OnDSRChange = [=](TCustomComPort*, bool on) { note(std::string("DSR:") + (on ? "1" : "0")); };
        p.OnRLSDChange = [=](TCustomComPort*, bool on) { note(std::string("RLSD:") + (on ? "1" : "0")); };
        p.OnError = [=](TCustomComPort*, TComErrors e) { note("Error:" + std::to_string(e.Bits())); };
    }

    Strings Log() {
        std::lock_guard lock(logMutex);
        return log;
    }
    void ClearLog() {
        std::lock_guard lock(logMutex);
        log.clear();
    }
    std::size_t LogSize() { return Log().size(); }

    // Device calls without the event thread's waits, which interleave freely.
    Strings Ops() {
        Strings ops;
        for (const auto& op : fake.Ops())
            if (op != "WaitCommEvent") ops.push_back(op);
        return ops;
    }
    std::vector<FakeSerial::Call> CallsOf(const std::string& op) {
        std::vector<FakeSerial::Call> out;
        for (const auto& c : fake.Calls())
            if (c.op == op) out.push_back(c);
        return out;
    }
    void OpenAndSettle() {
        port.Open();
        ASSERT_TRUE(WaitUntil([&] { return fake.WaitPending(); }));
        fake.ClearCalls();
        ClearLog();
    }

    FakeSerial fake;
    std::mutex logMutex;
    Strings log;
    TComPort port; // declared last: closed before the fake goes
};

TEST_F(FakePort, OpenSendsTheMainWindowConfigurationAndRaisesOpenEventsInOrder) {
    fake.SetModemStatus(platform::MS_CTS_ON | platform::MS_RLSD_ON);
    port.Open();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(Ops(), (Strings{"CreateFileA", "SetupComm", "SetCommState", "SetCommTimeouts", "SetCommMask",
                              "GetCommModemStatus", "GetCommModemStatus", "GetCommModemStatus"}));
    EXPECT_EQ(CallsOf("CreateFileA").at(0).text, "\\\\.\\COM1");
    EXPECT_EQ(CallsOf("SetupComm").at(0).args, (std::vector<std::int64_t>{1024, 1024}));
    // Rate, flags (fBinary only), XonLim, XoffLim, ByteSize, Parity, StopBits, XonChar, XoffChar,
    // ErrorChar, EofChar, EvtChar.
    EXPECT_EQ(CallsOf("SetCommState").at(0).args,
              (std::vector<std::int64_t>{9600, 1, 256, 256, 8, 0, 0, 17, 19, 0, 0, 0}));
    EXPECT_EQ(fake.LastDcb().DCBlength, 28u);
    EXPECT_EQ(CallsOf("SetCommTimeouts").at(0).args,
              (std::vector<std::int64_t>{0xFFFFFFFF, 0, 0, 100, 1000}));
    EXPECT_EQ(CallsOf("SetCommMask").at(0).args, (std::vector<std::int64_t>{1535}));
    EXPECT_EQ(Log(), (Strings{"BeforeOpen", "AfterOpen", "CTS:1", "DSR:0", "RLSD:1"}));

    ClearLog();
    port.Open(); // already open: nothing at all
    EXPECT_TRUE(Log().empty());
}

TEST_F(FakePort, CloseRaisesSignalsOffThenStopsThreadBeforeClosingDevice) {
    fake.SetModemStatus(platform::MS_CTS_ON | platform::MS_DSR_ON | platform::MS_RLSD_ON);
    OpenAndSettle();
    port.Close();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(Log(), (Strings{"CTS:0", "DSR:0", "RLSD:0", "BeforeClose", "AfterClose"}));
    // Abort, the thread's own clean-up (written bytes drain before the queues are
    // emptied), and the device last.
    EXPECT_EQ(Ops(), (Strings{"PurgeComm", "SetCommMask", "FlushFileBuffers", "PurgeComm", "CloseHandle"}));
    auto purges = CallsOf("PurgeComm");
    EXPECT_EQ(purges.at(0).args.at(0), 3);
    EXPECT_EQ(purges.at(1).args.at(0), 12);
    EXPECT_EQ(CallsOf("SetCommMask").at(0).args.at(0), 0);
    EXPECT_EQ(fake.OpenDevices(), 0);
    EXPECT_EQ(port.EventThread(), nullptr);

    ClearLog();
    port.Close(); // already closed
    EXPECT_TRUE(Log().empty());
}

TEST_F(FakePort, OpenOfMissingDeviceFailsWithCodeOneAndSystemCode) {
    port.SetPort("COM7");
    try {
        port.Open();
        FAIL() << "open succeeded";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 1);
        EXPECT_EQ(e.SystemCode(), 2);
        EXPECT_STREQ(e.what(), "Unable to open com port (win error code: 2)");
    }
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.Handle(), platform::INVALID_HANDLE_VALUE);
    EXPECT_EQ(Log(), (Strings{"BeforeOpen"}));
}

TEST_F(FakePort, FailingApplyClosesDeviceWithoutCloseEvents) {
    struct Case {
        const char* op;
        int code;
    };
    for (Case c : {Case{"SetupComm", 9}, Case{"SetCommState", 7}, Case{"SetCommTimeouts", 8}}) {
        SCOPED_TRACE(c.op);
        fake.ClearCalls();
        ClearLog();
        fake.FailNext(c.op, 22);
        try {
            port.Open();
            FAIL() << "open succeeded";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.MessageCode(), c.code);
            EXPECT_EQ(e.SystemCode(), 22);
        }
        EXPECT_FALSE(port.Connected());
        EXPECT_EQ(fake.OpenDevices(), 0);
        EXPECT_EQ(port.EventThread(), nullptr);
        EXPECT_EQ(Ops().back(), "CloseHandle");
        EXPECT_TRUE(CallsOf("SetCommMask").empty());
        EXPECT_EQ(Log(), (Strings{"BeforeOpen"}));
    }
    // And the port still opens afterwards.
    port.Open();
    EXPECT_TRUE(port.Connected());
}

TEST_F(FakePort, ChangeBatchAppliesOnceAtTheOutermostEnd) {
    OpenAndSettle();
    port.BeginChange();
    port.BeginChange();
    port.SetBaudRate(br19200);
    port.SetStopBits(sbTwoStopBits);
    port.Timeouts().SetWriteTotalConstant(50);
    port.Buffer().SetInputSize(4096);
    port.EndChange();
    EXPECT_TRUE(Ops().empty());
    port.EndChange();
    EXPECT_EQ(Ops(), (Strings{"SetupComm", "SetCommState", "SetCommTimeouts"}));
    EXPECT_EQ(fake.LastDcb().BaudRate, 19200u);
    EXPECT_EQ(fake.LastDcb().StopBits, platform::TWOSTOPBITS);
    EXPECT_EQ(fake.LastDcb().XonLim, 1024);
    EXPECT_EQ(fake.LastTimeouts().WriteTotalTimeoutConstant, 50u);

    fake.ClearCalls();
    port.EndChange(); // unbalanced: nothing happens
    port.SetDataBits(dbSeven);
    EXPECT_EQ(Ops(), (Strings{"SetCommState"}));
    EXPECT_EQ(fake.LastDcb().ByteSize, 7);
}

TEST_F(FakePort, SettersOnClosedPortOnlyRecordUntilOpen) {
    port.SetBaudRate(br115200);
    port.SetEventChar('\n');
    port.Parity().SetBits(prEven);
    port.FlowControl().SetFlowControl(fcHardware);
    port.Timeouts().SetReadInterval(5);
    port.Buffer().SetOutputSize(2048);
    EXPECT_TRUE(fake.Calls().empty());
    port.Open();
    const auto dcb = fake.LastDcb();
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.EvtChar, '\n');
    EXPECT_EQ(dcb.Parity, platform::EVENPARITY);
    EXPECT_EQ(dcb.fRtsControl, 2u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(fake.LastTimeouts().ReadIntervalTimeout, 5u);
    EXPECT_EQ(CallsOf("SetupComm").at(0).args, (std::vector<std::int64_t>{1024, 2048}));
}

TEST_F(FakePort, LineSettingsReachAnOpenDeviceAtOnce) {
    OpenAndSettle();
    port.SetBaudRate(br9600); // unchanged: nothing
    EXPECT_TRUE(Ops().empty());
    port.SetBaudRate(br57600);
    EXPECT_EQ(Ops(), (Strings{"SetCommState"}));
    EXPECT_EQ(fake.LastDcb().BaudRate, 57600u);

    fake.FailNext("SetCommState", 5);
    try {
        port.SetBaudRate(br4800);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 7);
    }
    EXPECT_TRUE(port.Connected());
}

TEST_F(FakePort, DcbMapsParityFlowAndCustomRate) {
    // Replace without Check: neither parity checking nor the error character.
    TComParity p = port.Parity();
    p.SetReplace(true);
    p.SetReplaceChar('?');
    port.SetParity(p);
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(250000);
    auto dcb = port.BuildDCB();
    EXPECT_EQ(dcb.BaudRate, 250000u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.ErrorChar, 0);

    port.Parity().SetCheck(true);
    port.SetDiscardNull(true);
    port.FlowControl().SetControlDTR(dtrHandshake);
    port.FlowControl().SetControlRTS(rtsToggle);
    port.FlowControl().SetXonXoffIn(true);
    port.FlowControl().SetOutDSRFlow(true);
    port.FlowControl().SetDSRSensitivity(true);
    port.FlowControl().SetTxContinueOnXoff(true);
    port.SetDataBits(dbFive);
    port.SetStopBits(sbOne5StopBits);
    port.Buffer().SetInputSize(100);
    dcb = port.BuildDCB();
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.fErrorChar, 1u);
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.fNull, 1u);
    EXPECT_EQ(dcb.fDtrControl, 2u);
    EXPECT_EQ(dcb.fRtsControl, 3u);
    EXPECT_EQ(dcb.fInX, 1u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 1u);
    EXPECT_EQ(dcb.fDsrSensitivity, 1u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 1u);
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.ByteSize, 5);
    EXPECT_EQ(dcb.StopBits, platform::ONE5STOPBITS);
    EXPECT_EQ(dcb.XonLim, 25);
    EXPECT_EQ(dcb.XoffLim, 25);

    // The custom rate goes to the device unchanged.
    port.Open();
    EXPECT_EQ(fake.LastDcb().BaudRate, 250000u);
}

TEST_F(FakePort, DeviceEventsAreRaisedOnTheGuiThreadInFixedOrder) {
    fake.QueueInput("abc"); // before the mask is armed: no event yet
    fake.SetModemStatus(platform::MS_DSR_ON);
    OpenAndSettle();
    std::thread::id raisedOn;
    auto ring = port.OnRing;
    port.OnRing = [&, ring](TCustomComPort* sender) {
        raisedOn = std::this_thread::get_id();
        ring(sender);
    };
    fake.SetErrors(platform::CE_FRAME | platform::CE_OVERRUN);
    fake.RaiseEvents(2047); // every known bit, and 512 which is none of ours
    ASSERT_TRUE(WaitUntil([&] { return LogSize() >= 10; }));
    EXPECT_EQ(Log(), (Strings{"Error:5", "RxChar:3", "TxEmpty", "Break", "Ring", "CTS:0", "DSR:1", "RxFlag",
                              "RLSD:0", "Rx80Full"}));
    EXPECT_EQ(raisedOn, std::this_thread::get_id());
}

TEST_F(FakePort, EventsWithNothingToReportRaiseNothing) {
    OpenAndSettle();
    // A parity error while parity checking is off, an empty input queue, and
    // a bit outside the event table.
    fake.SetErrors(platform::CE_RXPARITY);
    fake.RaiseEvents(platform::EV_ERR | platform::EV_RXCHAR | 512);
    ASSERT_TRUE(WaitUntil([&] { return CallsOf("ClearCommError").size() == 2 && fake.WaitPending(); }));
    fake.RaiseEvents(platform::EV_BREAK);
    ASSERT_TRUE(WaitUntil([&] { return LogSize() >= 1; }));
    EXPECT_EQ(Log(), (Strings{"Break"}));

    // With checking on, the same flag is reported.
    port.Parity().SetCheck(true);
    fake.SetErrors(platform::CE_RXPARITY | 0x4000);
    fake.RaiseEvents(platform::EV_ERR);
    ASSERT_TRUE(WaitUntil([&] { return LogSize() >= 2; }));
    EXPECT_EQ(Log().back(), "Error:" + std::to_string(TComErrors{ceRxParity}.Bits()));
}

TEST_F(FakePort, HandlerExceptionEndsEventDeliveryButPortStaysUsable) {
    OpenAndSettle();
    port.OnBreak = [](TCustomComPort*) { throw std::runtime_error("handler failed"); };
    fake.RaiseEvents(platform::EV_BREAK);
    ASSERT_TRUE(WaitUntil([&] { return port.EventThread()->Finished(); }));
    ASSERT_TRUE(port.EventThread()->FatalException());
    try {
        std::rethrow_exception(port.EventThread()->FatalException());
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "handler failed");
    }
    EXPECT_TRUE(port.Connected());
    fake.RaiseEvents(platform::EV_RING);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(port.WriteText("still works"), 11);
    port.Close();
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(fake.OpenDevices(), 0);
}

TEST_F(FakePort, CloseFromInsideAHandedOverEventIsRefusedWithoutDeadlock) {
    OpenAndSettle();
    bool refused = false;
    port.OnRing = [&](TCustomComPort* sender) {
        try {
            sender->Close();
        } catch (const std::logic_error&) {
            refused = true;
        }
    };
    fake.RaiseEvents(platform::EV_RING);
    ASSERT_TRUE(WaitUntil([&] { return refused; }));
    EXPECT_TRUE(port.Connected());
    port.Close();
    EXPECT_FALSE(port.Connected());
}

TEST_F(FakePort, DestroyingThePortInsideItsOwnHandlerNeitherHangsNorTouchesItAgain) {
    for (TSyncMethod sync : {smThreadSync, smNone}) {
        auto* doomed = new TComPort;
        doomed->SetSyncMethod(sync);
        std::atomic<bool> deleted{false};
        std::atomic<int> after{0};
        doomed->OnRing = [&](TCustomComPort* sender) {
            auto* flag = &deleted; // this handler goes with the port
            delete sender;
            *flag = true;
        };
        doomed->OnRxFlag = [&](TCustomComPort*) { ++after; }; // later in the same batch
        doomed->Open();
        ASSERT_TRUE(WaitUntil([&] { return fake.WaitPending(); }));
        after = 0;
        fake.RaiseEvents(platform::EV_RING | platform::EV_RXFLAG);
        ASSERT_TRUE(WaitUntil([&] { return deleted && fake.OpenDevices() == 0; })) << sync;
        EXPECT_EQ(after, 0);
        // The thread ends by itself, before the test (and the process) does.
        ASSERT_TRUE(WaitUntil([] { return TComThread::Orphans() == 0; })) << sync;
    }
}

TEST_F(FakePort, WindowSyncCloseFromAHandlerRunsNoFurtherPortMessage) {
    port.SetSyncMethod(smWindowSync);
    OpenAndSettle();
    auto close = [&](const char* what) {
        return [&, what](TCustomComPort* sender) {
            {
                std::lock_guard lock(logMutex);
                log.push_back(what);
            }
            sender->Close();
        };
    };
    port.OnBreak = close("Break");
    port.OnRing = close("Ring"); // its message is sent while Close waits for the thread
    fake.RaiseEvents(platform::EV_BREAK | platform::EV_RING);
    ASSERT_TRUE(WaitUntil([&] { return !port.Connected(); }));
    EXPECT_EQ(Log(), (Strings{"Break", "CTS:0", "DSR:0", "RLSD:0", "BeforeClose", "AfterClose"}));
    EXPECT_EQ(fake.OpenDevices(), 0);
}

TEST_F(FakePort, CloseServesAHandOverThatIsWaitingForTheGuiThread) {
    OpenAndSettle();
    int rings = 0;
    port.OnRing = [&](TCustomComPort*) { ++rings; };
    fake.RaiseEvents(platform::EV_RING);
    // The event thread is now (or soon) blocked in the hand-over; no events
    // are processed before Close, which must serve it while it waits.
    port.Close();
    EXPECT_FALSE(port.Connected());
    EXPECT_LE(rings, 1);
}

TEST_F(FakePort, WindowSyncSendsOneMessagePerEventAndReportsHandlerErrors) {
    port.SetSyncMethod(smWindowSync);
    HandlerCapture handler;
    auto& reported = handler.messages;
    OpenAndSettle();
    fake.RaiseEvents(platform::EV_RING | platform::EV_RLSD);
    ASSERT_TRUE(WaitUntil([&] { return LogSize() >= 2; }));
    EXPECT_EQ(Log(), (Strings{"Ring", "RLSD:0"}));

    // A failing step goes to the application's handler and the thread goes on.
    port.OnBreak = [](TCustomComPort*) { throw std::runtime_error("break handler"); };
    fake.RaiseEvents(platform::EV_BREAK);
    ASSERT_TRUE(WaitUntil([&] { return !reported.empty(); }));
    EXPECT_EQ(reported, (Strings{"break handler"}));
    fake.RaiseEvents(platform::EV_TXEMPTY);
    ASSERT_TRUE(WaitUntil([&] { return LogSize() >= 3; }));
    EXPECT_EQ(Log().back(), "TxEmpty");
    EXPECT_FALSE(port.EventThread()->Finished());

    // Messages after the port closed are ignored.
    port.Close();
    ClearLog();
    EXPECT_EQ(port.HandleEventMessage(platform::WM_USER + 1, platform::EV_RING, 0), 0);
    EXPECT_TRUE(Log().empty());
}

TEST_F(FakePort, NoSyncRaisesOnTheEventThread) {
    port.SetSyncMethod(smNone);
    std::atomic<bool> done{false};
    std::thread::id raisedOn;
    port.OnTxEmpty = [&](TCustomComPort*) {
        raisedOn = std::this_thread::get_id();
        done = true;
    };
    OpenAndSettle();
    fake.RaiseEvents(platform::EV_TXEMPTY);
    // Plain wait: nothing needs the GUI thread in this mode.
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    EXPECT_NE(raisedOn, std::this_thread::get_id());
}

TEST_F(FakePort, SyncMethodIsRefusedWhileOpen) {
    OpenAndSettle();
    port.SetSyncMethod(smThreadSync); // the same value is accepted
    try {
        port.SetSyncMethod(smNone);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 14);
        EXPECT_EQ(e.SystemCode(), -1);
        EXPECT_STREQ(e.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    port.Close();
    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
}

TEST_F(FakePort, EmptyEventSetStartsNoThreadButKeepsOpenAndCloseEvents) {
    port.SetEvents({});
    port.Open();
    EXPECT_EQ(port.EventThread(), nullptr);
    EXPECT_TRUE(CallsOf("SetCommMask").empty());
    EXPECT_TRUE(CallsOf("WaitCommEvent").empty());
    port.Close();
    EXPECT_EQ(Log(), (Strings{"BeforeOpen", "AfterOpen", "CTS:0", "DSR:0", "RLSD:0", "CTS:0", "DSR:0",
                              "RLSD:0", "BeforeClose", "AfterClose"}));
}

TEST_F(FakePort, ChangingPortWhileOpenReopensOnTheNewDevice) {
    OpenAndSettle();
    port.SetPort("COM1"); // same name: nothing
    EXPECT_TRUE(Log().empty());
    port.SetPort("COM2");
    EXPECT_EQ(Log(), (Strings{"CTS:0", "DSR:0", "RLSD:0", "BeforeClose", "AfterClose", "BeforeOpen",
                              "AfterOpen", "CTS:0", "DSR:0", "RLSD:0"}));
    EXPECT_EQ(CallsOf("CreateFileA").at(0).text, "\\\\.\\COM2");
    EXPECT_EQ(fake.OpenDevices(), 1);
}

TEST_F(FakePort, TransfersWriteAndReadTheBytes) {
    OpenAndSettle();
    EXPECT_EQ(port.WriteText(""), 0);
    EXPECT_TRUE(CallsOf("WriteFile").empty());
    const std::string bytes("S\0r\xff\r\n", 6);
    EXPECT_EQ(port.WriteText(bytes), 6);
    EXPECT_EQ(fake.Written(), bytes);

    std::string text = "old";
    EXPECT_EQ(port.ReadText(text, 0), 0);
    EXPECT_EQ(text, "");
    EXPECT_EQ(port.ReadText(text, 10), 0); // nothing queued: at once, empty
    EXPECT_EQ(text, "");
    fake.QueueInput(std::string("ab\0cd", 5));
    EXPECT_EQ(port.ReadText(text, 3), 3);
    EXPECT_EQ(text, std::string("ab\0", 3));
    EXPECT_EQ(port.ReadText(text, 10), 2);
    EXPECT_EQ(text, "cd");
}

TEST_F(FakePort, TransferFailuresCarryCodesAndLeaveThePortOpen) {
    OpenAndSettle();
    fake.FailNext("WriteFile", 5);
    try {
        port.WriteText("x");
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 2);
        EXPECT_EQ(e.SystemCode(), 5);
    }
    fake.FailNext("ReadFile", 5);
    std::string text;
    try {
        port.ReadText(text, 4);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 3);
    }
    EXPECT_THROW(port.StartWrite("x", 1, nullptr), EComPort);
    try {
        port.WaitForOperation(nullptr);
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 4);
        EXPECT_EQ(e.SystemCode(), -1);
    }
    EXPECT_TRUE(port.Connected());

    // An operation never started is already complete with 0 bytes.
    AsyncOperation* op = nullptr;
    port.NewAsyncOperation(op);
    EXPECT_EQ(port.WaitForOperation(op), 0);
    port.DisposeAsyncOperation(op);
    EXPECT_EQ(op, nullptr);
}

TEST_F(FakePort, QueryFailuresCarryTheirCodes) {
    port.SetEvents({});
    port.Open();
    fake.FailNext("ClearCommError", 5);
    try {
        port.InputQueueCount();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 10);
    }
    fake.FailNext("GetCommModemStatus", 5);
    try {
        port.LineSignals();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 11);
    }
    fake.SetModemStatus(platform::MS_RING_ON | platform::MS_DSR_ON);
    EXPECT_EQ(port.LineSignals(), (TLineSignals{lsDSR, lsRing}));
    fake.SetErrors(platform::CE_RXOVER | platform::CE_TXFULL | platform::CE_IOE | platform::CE_MODE |
                   platform::CE_BREAK);
    EXPECT_EQ(port.TakeLineErrors(), (TComErrors{ceRxOver, ceTxFull, ceIO, ceMode, ceBreak}));
    EXPECT_TRUE(port.TakeLineErrors().Empty()); // taken once

    // Clearing the input drops only what was received; its failure has the purge's code.
    fake.QueueInput("Mr\r\n");
    port.ClearInput();
    EXPECT_EQ(fake.PendingInput(), "");
    EXPECT_EQ(CallsOf("PurgeComm").back().args.at(0), platform::PURGE_RXCLEAR);
    fake.FailNext("PurgeComm", 5);
    EXPECT_THROW(port.ClearInput(), EComPort);

    // A failing abort keeps the port open.
    fake.FailNext("PurgeComm", 5);
    try {
        port.Close();
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.MessageCode(), 5);
    }
    EXPECT_TRUE(port.Connected());
}

TEST_F(FakePort, LoadedOpensARecordedConnectionAndReportsFailure) {
    HandlerCapture handler;
    port.BeginLoading();
    port.SetConnected(true);
    port.SetBaudRate(br300);
    EXPECT_TRUE(fake.Calls().empty());
    port.Loaded();
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(fake.LastDcb().BaudRate, 300u);

    TComPort other;
    other.SetPort("COM9");
    other.BeginLoading();
    other.SetConnected(true);
    other.Loaded(); // does not throw
    EXPECT_FALSE(other.Connected());
    EXPECT_EQ(handler.messages, (Strings{"Unable to open com port (win error code: 2)"}));
}

TEST(ComSettings, BufferSizesStayEven) {
    TComBuffer b;
    b.SetInputSize(1025);
    EXPECT_EQ(b.InputSize(), 1024);
    b.SetInputSize(7);
    EXPECT_EQ(b.InputSize(), 6);
    b.SetOutputSize(-3);
    EXPECT_EQ(b.OutputSize(), -3);
    b.SetOutputSize(1);
    EXPECT_EQ(b.OutputSize(), 0);
}

TEST(ComSettings, FlowControlKindIsDerivedFromFourFields) {
    TComFlowControl f;
    EXPECT_EQ(f.FlowControl(), fcNone);
    f.SetOutDSRFlow(true);
    f.SetControlDTR(dtrEnable);
    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.FlowControl(), fcHardware);
    EXPECT_TRUE(f.OutDSRFlow()); // not part of the preset
    EXPECT_EQ(f.ControlDTR(), dtrEnable);
    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.OutCTSFlow());
    f.SetFlowControl(fcCustom); // changes nothing
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    f.SetFlowControl(fcNone);
    EXPECT_FALSE(f.XonXoffIn());
    EXPECT_FALSE(f.XonXoffOut());
    f.SetControlRTS(rtsEnable);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f.SetControlRTS(rtsHandshake);
    EXPECT_EQ(f.FlowControl(), fcCustom); // handshake without CTS flow
}

TEST(ComSettings, CopiesAreDetachedFromThePort) {
    FakeSerial fake;
    fake.AddDevice("COM1");
    TComPort port;
    port.SetEvents({});
    port.Open();
    fake.ClearCalls();
    TComTimeouts t = port.Timeouts();
    EXPECT_EQ(t.ComPort(), nullptr);
    t.SetReadInterval(20); // a detached copy reaches no device
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    port.SetTimeouts(t);
    EXPECT_EQ(port.Timeouts().ReadInterval(), 20);
    EXPECT_EQ(port.Timeouts().ComPort(), &port);
    EXPECT_EQ(fake.LastTimeouts().ReadIntervalTimeout, 20u);
}

TEST(ComEvents, MaskMapping) {
    EXPECT_EQ(EventsToMask({evRxChar}), 1u);
    EXPECT_EQ(EventsToMask(AllComEvents), 1535u);
    EXPECT_EQ(MaskToEvents(1535), AllComEvents);
    EXPECT_TRUE(MaskToEvents(512).Empty());
    EXPECT_EQ(MaskToEvents(platform::EV_RING | platform::EV_RLSD), (TComEvents{evRing, evRLSD}));
}

TEST(ComErrors, MessagesComeFromTheTable) {
    EXPECT_STREQ(EComPort(16).what(), "Failed to store settings");
    EXPECT_STREQ(EComPort(23, 0).what(), "Registry error (win error code: 0)");
    EXPECT_EQ(EComPort(3, -5).SystemCode(), -5);
    EXPECT_EQ(ComErrorMessage(0), "");
    EXPECT_EQ(ComErrorMessage(24), "");
}

} // namespace
