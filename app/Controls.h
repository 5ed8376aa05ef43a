#pragma once
// Small widgets shared by the main window and the dialogs.
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <functional>
#include <vector>

// The windows' designed font ("MS Sans Serif", falling back to the system's
// sans serif) at the given pixel height; `white` gives the window a white background.
void SetFormLook(QWidget* form, int fontPixels, bool white);

// The settings dialogs have no default or cancel button: Enter and Escape
// must not close them. True when the key was such a key and is now consumed.
bool SwallowDialogKeys(QKeyEvent* e);

// A push button with an integer tag, as the send button keeps its state in.
class TTagButton : public QPushButton {
public:
    using QPushButton::QPushButton;
    int Tag = 0;
};

// A group box of radio buttons with one selected item, laid out in columns.
class TRadioGroup : public QGroupBox {
public:
    TRadioGroup(const QString& caption, const QStringList& items, int columns, QWidget* parent = nullptr);

    int ItemIndex() const;
    // Selecting another item runs OnClick, as a user's click would.
    void SetItemIndex(int index);
    QRadioButton* Item(int index) const { return FButtons.at(static_cast<std::size_t>(index)); }
    int Count() const { return static_cast<int>(FButtons.size()); }

    std::function<void()> OnClick;

private:
    std::vector<QRadioButton*> FButtons;
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
