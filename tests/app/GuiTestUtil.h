#pragma once
// Driving modal windows as a person would: the handler is queued before the
// action that opens the window and runs once the window is up.
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

namespace gui {

// Polls for the active modal widget (for up to `ms`) and hands it to fn once.
inline void WhenModal(std::function<void(QWidget*)> fn, int ms = 5000) {
    auto* timer = new QTimer;
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, fn, clock, ms] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w && clock->elapsed() < ms) return;
        timer->stop();
        timer->deleteLater();
        if (w) fn(w);
    });
    timer->start();
}

// Processes events until pred() holds or the time is up; returns pred().
inline bool WaitFor(const std::function<bool()>& pred, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Records the text and caption of the next message box and presses its first button.
struct BoxSeen {
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool seen = false;
};

inline std::shared_ptr<BoxSeen> ExpectMessageBox(int ms = 5000) {
    auto seen = std::make_shared<BoxSeen>();
    WhenModal(
        [seen](QWidget* w) {
            if (auto* box = qobject_cast<QMessageBox*>(w)) {
                seen->text = box->text();
                seen->caption = box->windowTitle();
                seen->icon = box->icon();
                seen->seen = true;
                box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
            }
        },
        ms);
    return seen;
}

} // namespace gui
