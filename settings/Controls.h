#pragma once
// Small widgets of the settings dialogs, which the main window uses too.
#include <QGroupBox>
#include <QKeyEvent>
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
