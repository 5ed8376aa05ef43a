#pragma once
// Small widgets of the main window; those it shares with the settings
// dialogs come from there.
#include <QLabel>
#include <QPushButton>

#include "settings/Controls.h"

// A push button with an integer tag, as the send button keeps its state in.
class TTagButton : public QPushButton {
public:
    using QPushButton::QPushButton;
    int Tag = 0;
};

// A label that keeps its whole text but shows it within the room it is given:
// the name part gives way first, elided in the middle, and the whole text is
// then its tooltip. A text that fits looks as a plain label's.
class TFitLabel : public QLabel {
public:
    using QLabel::QLabel;
    // Shows name + rest, at most `room` pixels wide.
    void SetParts(const QString& name, const QString& rest, int room);
    // What is on screen.
    QString ShownText() const { return FShown; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    QString FShown;
};
