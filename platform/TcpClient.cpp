#include "TcpClient.h"

#include <QAbstractSocket>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

#include "Text.h"

namespace platform {

namespace {

// Depth of client events running on this thread: a socket is not deleted
// under its own signal.
thread_local int gEventDepth = 0;

struct EventScope {
    EventScope() { ++gEventDepth; }
    ~EventScope() { --gEventDepth; }
    EventScope(const EventScope&) = delete;
    EventScope& operator=(const EventScope&) = delete;
};

int ErrnoOf(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return ECONNREFUSED;
    case QAbstractSocket::RemoteHostClosedError:
        return ECONNRESET;
    case QAbstractSocket::HostNotFoundError:
        return EHOSTUNREACH;
    case QAbstractSocket::SocketAccessError:
        return EACCES;
    case QAbstractSocket::SocketResourceError:
        return ENOBUFS;
    case QAbstractSocket::SocketTimeoutError:
        return ETIMEDOUT;
    case QAbstractSocket::NetworkError:
        return ENETUNREACH;
    case QAbstractSocket::AddressInUseError:
        return EADDRINUSE;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return EOPNOTSUPP;
    default:
        return EIO;
    }
}

// How long a closed socket may take to hand its queued bytes to the peer.
constexpr int kLingerMs = 10000;

} // namespace

TcpClient::TcpClient() = default;

TcpClient::~TcpClient() {
    ReleaseSocket();
}

void TcpClient::CreateSocket() {
    FSocket = new QTcpSocket;
    QTcpSocket* s = FSocket;
    QObject::connect(s, &QAbstractSocket::connected, s, [this] { SocketConnected(); });
    QObject::connect(s, &QAbstractSocket::disconnected, s, [this] { SocketDisconnected(); });
    QObject::connect(s, &QIODevice::readyRead, s, [this] { SocketReadyRead(); });
    QObject::connect(s, &QAbstractSocket::errorOccurred, s,
                     [this](QAbstractSocket::SocketError e) { SocketError(static_cast<int>(e)); });
}

void TcpClient::ReleaseSocket() {
    if (!FSocket) return;
    QTcpSocket* s = FSocket;
    FSocket = nullptr;
    QObject::disconnect(s, nullptr, s, nullptr); // our handlers only: they use s as context
    s->abort();
    if (gEventDepth > 0)
        s->deleteLater();
    else
        delete s;
}

void TcpClient::Activate() {
    if (FActive || FAttempting) throw ESocketError("The client is already connected or connecting", EISCONN);
    ReleaseSocket();
    CreateSocket();
    if (FHost.empty()) {
        RaiseDisconnect();
        return;
    }
    FAttempting = true;
    // Started from the event loop, so that even an attempt that fails at once
    // is reported after Activate has returned.
    QTcpSocket* s = FSocket;
    const QString host = ToQString(FHost);
    const quint16 port = FPort;
    QMetaObject::invokeMethod(
        s, [s, host, port] { s->connectToHost(host, port); }, Qt::QueuedConnection);
}

void TcpClient::Deactivate() {
    if (!FActive || !FSocket) return;
    QTcpSocket* s = FSocket;
    s->flush();
    if (s->bytesToWrite() > 0) {
        // Queued bytes still go out: the socket closes itself once they are
        // sent (or after a grace period) and then deletes itself.
        FSocket = nullptr;
        QObject::disconnect(s, nullptr, s, nullptr);
        QObject::connect(s, &QAbstractSocket::disconnected, s, &QObject::deleteLater);
        QObject::connect(s, &QAbstractSocket::errorOccurred, s, [s] { s->abort(); });
        QTimer::singleShot(kLingerMs, s, [s] { s->abort(); });
        s->disconnectFromHost();
    } else {
        QObject::disconnect(s, nullptr, s, nullptr);
        s->disconnectFromHost();
        ReleaseSocket();
    }
    RaiseDisconnect();
}

void TcpClient::SendText(const std::string& text) {
    if (!FActive || !FSocket) throw ESocketError("The client is not connected", ENOTCONN);
    if (text.empty()) return;
    std::size_t done = 0;
    int code = 0;
    std::string message;
    const int fd = static_cast<int>(FSocket->socketDescriptor());
    if (fd >= 0 && FSocket->bytesToWrite() == 0) {
        // Straight to the kernel: Qt's write buffer would switch its write
        // notifier on and off for every command, each time waking the loop.
        while (done < text.size()) {
            const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                code = n < 0 ? errno : EIO;
                message = std::strerror(code);
                break;
            }
        }
        if (code == 0 && done == text.size()) return;
    }
    if (code == 0) {
        // What the kernel does not take now waits in Qt's buffer, behind
        // whatever already waits there.
        const auto rest = static_cast<qint64>(text.size() - done);
        if (FSocket->write(text.data() + done, rest) == rest) {
            FSocket->flush(); // hand what the socket takes to it now, not on the next loop turn
            return;
        }
        code = EIO;
        message = FromQString(FSocket->errorString());
    }
    {
        EventScope scope;
        if (OnError) OnError(code);
    }
    if (FSocket) FSocket->abort(); // raises the disconnected event
    if (code != 0) throw ESocketError(message, code);
}

std::string TcpClient::ReceiveText() {
    if (!FSocket) return {};
    const QByteArray bytes = FSocket->readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

int TcpClient::AttemptResult() {
    if (!FAttempting || !FSocket || FSocket->state() != QAbstractSocket::ConnectingState) return EINPROGRESS;
    // The socket names its descriptor only once connected; its notifiers watch it before.
    int fd = -1;
    for (const QSocketNotifier* n : FSocket->findChildren<QSocketNotifier*>())
        if (n->isValid()) fd = static_cast<int>(n->socket());
    if (fd < 0) return EINPROGRESS;
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
        n = ::poll(&p, 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return EINPROGRESS;
    int code = 0;
    socklen_t size = sizeof code;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &size) != 0) code = errno;
    if (code == 0) return 0; // connected: the socket's own event tells the rest
    // The error is taken from the socket now: it must not look at it again.
    FAttempting = false;
    ReleaseSocket();
    return code;
}

void TcpClient::SocketConnected() {
    FAttempting = false;
    FActive = true;
    EventScope scope;
    if (OnConnect) OnConnect();
}

void TcpClient::SocketDisconnected() {
    if (FActive) RaiseDisconnect();
}

void TcpClient::SocketReadyRead() {
    EventScope scope;
    if (OnRead) OnRead();
}

void TcpClient::SocketError(int qtError) {
    const auto error = static_cast<QAbstractSocket::SocketError>(qtError);
    int code = ErrnoOf(error);
    const std::string message = FSocket ? FromQString(FSocket->errorString()) : std::string();
    {
        EventScope scope;
        if (OnError) OnError(code);
    }
    if (FActive) {
        // A reset or aborted connection ends like an orderly close.
        if (FSocket) FSocket->abort();
        if (FActive) RaiseDisconnect();
    } else if (FAttempting && FSocket && FSocket->state() == QAbstractSocket::UnconnectedState) {
        // The attempt is over (unknown host, refused, timed out, unreachable).
        RaiseDisconnect();
    }
    if (code != 0) throw ESocketError(message, code);
}

void TcpClient::RaiseDisconnect() {
    FActive = false;
    FAttempting = false;
    EventScope scope;
    if (OnDisconnect) OnDisconnect();
}

} // namespace platform
