#include "TcpLink.h"

TTcpLink::TTcpLink(TTcpLinkOptions options) : FOptions(std::move(options)) {
    FTimer.setSingleShot(true);
    QObject::connect(&FTimer, &QTimer::timeout, &FContext, [this] {
        Fail(TLinkFault::ConnectTimedOut,
             ConnectTimeoutAdvice(FOptions.Host, FOptions.Port, FOptions.ConnectSeconds.value_or(0)));
    });
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
    if (FOptions.ConnectSeconds) {
        // Counted from when the loop has caught up: opening thousands of links takes a while of its
        // own, and a zero timer runs only after the results that are in by then were read.
        auto* arm = new QTimer(&FContext);
        arm->setSingleShot(true);
        QObject::connect(arm, &QTimer::timeout, &FContext, [this, arm] {
            arm->deleteLater();
            if (FState == LinkConnecting && !FFailed && !FClosing)
                FTimer.start(ConnectMilliseconds(*FOptions.ConnectSeconds));
        });
        arm->start(0);
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
