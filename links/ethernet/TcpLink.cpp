#include "TcpLink.h"

#include <cerrno>

TTcpLink::TTcpLink(TTcpLinkOptions options) : FOptions(std::move(options)) {
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, &FContext, [this] { HandleTimeout(); });
}

TTcpLink::~TTcpLink() {
    try {
        Close();
    } catch (...) {
    }
}

void TTcpLink::Open() {
    FClosing = false;
    FFailed = false;
    FLastError = 0;
    FState = LinkConnecting;
    try {
        FClient.reset();
    } catch (...) {
    }
    if (FOptions.Address.empty()) {
        // Nothing to connect to: the attempt ends at once.
        FState = LinkDisconnected;
        StateChanged(FState);
        Fail(TLinkFault::NameNotFound, NameNotFoundAdvice(FOptions.Host));
        return;
    }
    try {
        FClient = std::make_unique<platform::TcpClient>();
        FClient->OnConnect = [this] { HandleConnect(); };
        FClient->OnDisconnect = [this] { HandleDisconnect(); };
        FClient->OnRead = [this] { Received(FClient ? FClient->ReceiveText() : std::string()); };
        FClient->OnError = [this](int& code) {
            FLastError = code;
            code = 0;
        };
        FClient->SetHost(FOptions.Address);
        FClient->SetPort(FOptions.Port);
        FClient->Activate();
        // The budget counts from the connect itself, which Activate has queued just before:
        // opening thousands of links takes a while of its own.
        if (FOptions.ConnectSeconds)
            QMetaObject::invokeMethod(
                &FContext,
                [this] {
                    if (FState == LinkConnecting && !FFailed && !FClosing)
                        FTimer.start(ConnectMilliseconds(*FOptions.ConnectSeconds));
                },
                Qt::QueuedConnection);
    } catch (const platform::ESocketError& e) {
        Fail(TcpFault(e.Code), TcpAdvice(e.Code, FOptions.Host, FOptions.Port));
    } catch (...) {
    }
}

void TTcpLink::Send(const std::string& command) {
    if (!FClient || !FClient->Active()) return;
    const std::string bytes = LineFrame(command);
    Wrote(bytes);
    try {
        FClient->SendText(bytes);
    } catch (...) {
        // The client's error and disconnected events have told it.
    }
}

void TTcpLink::Close() {
    FClosing = true;
    FTimer.stop();
    if (FClient && FClient->Active()) {
        FState = LinkDisconnecting;
        try {
            FClient->Deactivate(); // HandleDisconnect runs before this returns
        } catch (...) {
        }
    } else if (FState == LinkConnecting || FState == LinkDisconnecting) {
        // A cancelled attempt is ended here: a late failure or success of it must not
        // overwrite the state of the next link, nor leave a connection open behind the
        // user's back.
        FState = LinkDisconnected;
    }
    try {
        FClient.reset();
    } catch (...) {
    }
    FState = LinkDisconnected;
}

void TTcpLink::HandleTimeout() {
    // A loop kept busy (thousands of links) reads an answer late: what the kernel
    // already knows is told, not a time-out.
    const int result = FClient ? FClient->AttemptResult() : EINPROGRESS;
    if (result == 0) return; // connected; the socket's event follows
    if (result != EINPROGRESS) {
        FState = LinkDisconnected;
        StateChanged(FState);
        Fail(TcpFault(result), TcpAdvice(result, FOptions.Host, FOptions.Port));
        return;
    }
    Fail(TLinkFault::ConnectTimedOut,
         ConnectTimeoutAdvice(FOptions.Host, FOptions.Port, FOptions.ConnectSeconds.value_or(0)));
}

void TTcpLink::HandleConnect() {
    FTimer.stop();
    FState = LinkConnected;
    StateChanged(FState);
    Opened();
}

void TTcpLink::HandleDisconnect() {
    const bool wasOpen = FState == LinkConnected;
    FState = LinkDisconnected;
    StateChanged(FState);
    if (FClosing) return;
    if (wasOpen)
        Fail(TLinkFault::Closed, "the scale closed the connection");
    else
        Fail(TcpFault(FLastError), TcpAdvice(FLastError, FOptions.Host, FOptions.Port));
}

void TTcpLink::Fail(TLinkFault code, const std::string& message) {
    FTimer.stop();
    if (FClosing || FFailed) return;
    FFailed = true;
    Failed(code, message);
}
