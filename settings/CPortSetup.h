#pragma once
// The advanced serial settings dialog: port name, baud rate, data bits, stop
// bits, parity and flow control, applied to the port in one batch.
#include <QDialog>

#include "links/serial/CPort.h"
#include "settings/CPortCtl.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QToolButton;

// True when the dialog was last left with its Apply button, false after its
// Cancel button; the close box leaves it as it was.
extern bool SerialSetupApplied;

class TComSetupFrm : public QDialog {
public:
    // Modal results of the two hidden buttons.
    static constexpr int mrApply = 1;
    static constexpr int mrCancel = 2;

    // Builds the layout (the port list reads the system and may throw
    // EComPort code 23), then runs FormCreate.
    explicit TComSetupFrm(QWidget* parent = nullptr);

    QGroupBox* GroupBox1;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    TComComboBox* Combo1;
    TComComboBox* Combo2;
    TComComboBox* Combo3;
    TComComboBox* Combo4;
    TComComboBox* Combo5;
    TComComboBox* Combo6;
    QToolButton* sbApply;
    QToolButton* sbCancel;
    QPushButton* BitBtnApply;
    QPushButton* BitBtnCancel;

    void FormCreate();
    void sbApplyClick();
    void sbCancelClick();

    // The close box ends the dialog with the cancel result.
    void reject() override;

protected:
    // Neither Enter nor Escape closes the dialog.
    void keyPressEvent(QKeyEvent* e) override;
};

// Shows the dialog for `ComPort` and, after Apply, writes the six choices
// into the port inside one change batch. Exceptions reach the caller.
void ExecuteComSetup(TCustomComPort* ComPort);
