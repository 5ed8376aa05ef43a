#pragma once
// The connection settings dialog: serial port number and speed, or the
// scale's Ethernet address, port and protocol.
#include <QDialog>
#include <QWidget>
#include <functional>

#include "settings/Settings.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QToolButton;
class TCustomComPort;
class TRadioGroup;

class TConnectionForm;
extern TConnectionForm* ConnectionForm;

// Created hidden once at start, destroyed at the end.
void CreateConnectionForm();
void DestroyConnectionForm();
// Shows the dialog modally for `link` and `port` (see TConnectionForm::Edit)
// and returns when it is closed.
void ShowConnectionDialog(settings::LinkSettings& link, TCustomComPort* port, std::function<void()> onButton);

// Up and down arrows tied to an edit: each step reads the edit's number and
// writes the next one, kept between Min and Max.
class TUpDown : public QWidget {
public:
    TUpDown(QLineEdit* associate, int min, int max, QWidget* parent = nullptr);
    int Position() const { return FPosition; }
    void SetPosition(int value);
    void StepBy(int delta);
    QToolButton* UpButton() const { return FUp; }
    QToolButton* DownButton() const { return FDown; }

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    QLineEdit* FAssociate;
    QToolButton* FUp;
    QToolButton* FDown;
    int FMin, FMax, FPosition;
};

class TConnectionForm : public QDialog {
public:
    explicit TConnectionForm(QWidget* parent = nullptr);

    // What the dialog edits: the link settings and the serial port's name and
    // rate. Both stay the caller's; the port may be none.
    void Edit(settings::LinkSettings* link, TCustomComPort* port);
    // Raised by Apply, once the choices are stored, and by Cancel: the window
    // presses its connect button.
    std::function<void()> OnButtonClick;

    TRadioGroup* rgConnection;
    QGroupBox* gbEthernet;
    QLabel* Label1;
    QLineEdit* EditIP;
    QLabel* Label2;
    QLineEdit* EditPort;
    TRadioGroup* rgEthProtocol;
    QGroupBox* gbSerialPort;
    QLabel* LabelCOMPort;
    QLineEdit* EditCOM;
    TUpDown* UpDownCOM;
    QLabel* LabelBaudRate;
    QComboBox* cbBaudRate;
    QLabel* Label34;
    QToolButton* sbSerialAdvanced;
    QToolButton* sbApply;
    QToolButton* sbCancel;

    void FormShow();
    void rgConnectionClick();
    void sbSerialAdvancedClick();
    void sbApplyClick();
    void sbCancelClick();
    void GetCOMPortSettings();

protected:
    void showEvent(QShowEvent* e) override;
    // Neither Enter nor Escape closes the dialog.
    void keyPressEvent(QKeyEvent* e) override;
    // Hints stay switched off: the buttons' hint texts are never shown.
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    settings::LinkSettings* FLink = nullptr;
    TCustomComPort* FComPort = nullptr;
};
