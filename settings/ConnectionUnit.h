#pragma once
// The connection settings dialog: serial port number and speed, or the
// scale's Ethernet address, port and protocol.
#include <QDialog>
#include <QWidget>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QToolButton;
class TRadioGroup;

class TConnectionForm;
extern TConnectionForm* ConnectionForm;

// Created hidden once at start, destroyed at the end.
void CreateConnectionForm();
void DestroyConnectionForm();
// Shows the dialog modally and returns when it is closed.
void ShowConnectionDialog();

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
};
