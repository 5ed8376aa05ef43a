#include "Udp.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>

namespace sendcmd {

namespace {
// The scale's reply text in a datagram: up to the first zero byte, at most this long.
constexpr std::size_t kMaxReplyText = 101;
} // namespace

class UdpLink : public TargetLink {
public:
    UdpLink(UdpHub& hub, const Target& target) : hub_(hub), target_(target) {}
    ~UdpLink() override { Close(); }

    void Open() override {
        if (auto why = hub_.Listen()) {
            if (OnFailed) OnFailed(*why);
            return;
        }
        QHostAddress address;
        if (address.setAddress(QString::fromStdString(target_.host)) &&
            address.protocol() == QAbstractSocket::IPv4Protocol) {
            Start(address.toString().toStdString());
            return;
        }
        lookup_ = QHostInfo::lookupHost(QString::fromStdString(target_.host), &context_,
                                        [this](const QHostInfo& info) {
                                            lookup_ = -1;
                                            for (const QHostAddress& a : info.addresses())
                                                if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                                                    Start(a.toString().toStdString());
                                                    return;
                                                }
                                            if (OnFailed) OnFailed(NameNotFoundAdvice(target_.host));
                                        });
    }

    void Send(const std::string& command) override {
        if (ip_.empty()) return;
        const std::string bytes = Frame(Target::Kind::Udp, command);
        if (OnWire) OnWire(bytes);
        try {
            hub_.endpoint_.SendTo(ip_, target_.port, bytes);
        } catch (const std::exception& e) {
            if (OnFailed) OnFailed("sending to " + target_.text.substr(4) + " failed: " + e.what());
        }
    }

    void Close() override {
        if (lookup_ >= 0) QHostInfo::abortHostLookup(lookup_);
        lookup_ = -1;
        auto it = hub_.links_.find({ip_, static_cast<std::uint16_t>(target_.port)});
        if (it != hub_.links_.end() && it->second == this) hub_.links_.erase(it);
        ip_.clear();
    }

    void Receive(const std::string& bytes) {
        std::string text = bytes.substr(0, bytes.find('\0'));
        if (text.size() > kMaxReplyText) text.resize(kMaxReplyText);
        if (!text.empty() && OnReceive) OnReceive(text);
    }

private:
    void Start(const std::string& ip) {
        ip_ = ip;
        hub_.links_[{ip_, static_cast<std::uint16_t>(target_.port)}] = this;
        // As the window does: one byte first, so the scale learns where to answer.
        const std::string start(1, '\0');
        if (OnWire) OnWire(start);
        try {
            hub_.endpoint_.SendTo(ip_, target_.port, start);
        } catch (...) {
        }
        if (OnOpen) OnOpen();
    }

    UdpHub& hub_;
    Target target_;
    std::string ip_;
    QObject context_;
    int lookup_ = -1;
};

UdpHub::UdpHub() = default;

UdpHub::~UdpHub() {
    alive_.reset();
    links_.clear();
    endpoint_.OnDatagramFrom = nullptr;
    try {
        endpoint_.Deactivate();
    } catch (...) {
    }
}

std::unique_ptr<TargetLink> UdpHub::MakeLink(const Target& target) {
    return std::make_unique<UdpLink>(*this, target);
}

std::optional<std::string> UdpHub::Listen() {
    if (tried_) return bindError_;
    tried_ = true;
    endpoint_.SetReceiveBufferSize(8192);
    endpoint_.ClearBindings();
    endpoint_.SetDefaultPort(1001);
    endpoint_.AddBinding();
    std::weak_ptr<int> alive = alive_;
    endpoint_.OnDatagramFrom = [this, alive](const std::string& bytes, const std::string& ip,
                                             std::uint16_t port) {
        // Listener thread: posted, never awaited, since deactivation waits for this thread.
        if (bytes.empty()) return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [this, alive, bytes, peer = Peer(ip, port)] {
                if (alive.lock()) Deliver(bytes, peer);
            },
            Qt::QueuedConnection);
    };
    try {
        endpoint_.Activate();
    } catch (const platform::ESocketError& e) {
        bindError_ = UdpBindAdvice(e.Code);
    }
    return bindError_;
}

void UdpHub::Deliver(const std::string& bytes, const Peer& from) {
    auto it = links_.find(from);
    if (it == links_.end()) return; // from no known target: ignored
    it->second->Receive(bytes);
}

} // namespace sendcmd
