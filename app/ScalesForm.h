#pragma once
// The board of the shop's scales: the window that shows the settings folder's
// "scales" list (TBoardList) with what each scale holds (TBoardHoldings) and
// the progress of a send to every checked scale at once (TBoardSend, a fleet
// as scaledb-send drives).
#include <QDialog>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/BoardList.h"
#include "scales/History.h"
#include "scales/ScaleList.h"
#include "transfer/DatabaseFile.h"
#include "transfer/TransferEngine.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

class TBoardHoldings;
class TBoardSend;

// Name, Link, On and Pace of one scale. OK asks OnAccept, which writes the entry:
// an error text keeps the dialog open and shows it. The focus starts in Name.
class TScaleEntryForm : public QDialog {
public:
    TScaleEntryForm(QWidget* parent, const QString& caption, const scales::ScaleEntry& entry);

    QLineEdit* EditName;
    QLineEdit* EditLink;
    QCheckBox* CheckOn;
    QSpinBox* SpinPace;
    QLabel* LabelHint; // what of the line is the name
    QLabel* LabelError;
    QPushButton* btnOK;

    scales::ScaleEntry Entry() const;
    std::function<std::string(const scales::ScaleEntry& entry)> OnAccept;

    void accept() override;
};

// What the board asks of the window it belongs to.
class TBoardOwner {
public:
    virtual scales::History& TransferHistory() = 0;
    virtual TDatabaseKind KindChosen() const = 0;
    // The file the window holds ("" until one was loaded), its size and
    // SHA-256, and its table.
    virtual const std::string& LoadedPath() const = 0;
    virtual const scales::FileDigest& LoadedDigest() = 0;
    virtual const TableData& LoadedTable() const = 0;
    // The window's own UDP link is open on local port 1001.
    virtual bool HoldsUdpPort() const = 0;
    // The window's own link written as a target while it is connected (its
    // scale answers the window only), else "".
    virtual std::string ConnectedTarget() const = 0;

    virtual ~TBoardOwner() = default;
};

// A dialog as Qt's are for the keyboard (Return on the default button, Escape
// hides it), but a window of its own that is not modal: hidden, its send goes on.
class TScalesForm : public QDialog {
public:
    // The columns of GridScales.
    enum Column { ColCheck, ColName, ColLink, ColOn, ColHolds, ColLast, ColProgress, ColState, ColCount };

    TScalesForm(QWidget* parent, TBoardOwner& owner);
    ~TScalesForm() override;

    QLabel* LabelProblems; // bad lines of the list and a history that cannot be used, once
    QTableWidget* GridScales;
    QLabel* LabelFile;
    QLabel* LabelSummary; // "5 of 7 sent, 2 failed", while and after sending
    QPushButton* btnCheckAll;
    QPushButton* btnCheckNone;
    QPushButton* btnAdd;
    QPushButton* btnEdit;
    QPushButton* btnRemove;
    QPushButton* btnSend;
    QPushButton* btnStop;
    QTimer* TimerProgress;

    // Reads the list file again; the checks of scales still listed are kept.
    void ReadList();
    // "Holds now" and "Last result" from the history, both kinds of table.
    void ShowHoldings();
    // The main window loaded a table.
    void TableChanged();
    // Also while the scales' host names are looked up before a send: the list and
    // the table stay as they are until the send has begun.
    bool Sending() const { return FSend != nullptr || FPreparing; }
    // The scales the send under way has not finished yet (the checked ones while
    // their names are looked up); 0 when none.
    int Unfinished() const;
    // Unfinished() changed: the main window shows it while the board is hidden.
    std::function<void(int unfinished)> OnSending;

    void btnCheckAllClick();
    void btnCheckNoneClick();
    void btnAddClick();
    void btnEditClick();
    void btnRemoveClick();
    void btnSendClick();
    void btnStopClick();

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    // One scale of the send under way.
    struct Sent {
        int row = 0; // of GridScales
        std::string target, name;
        bool ended = false;
    };

    // Re-reads the file, lets `edit` change it and writes it; the error text, or empty.
    // The check of `fresh` (an entry added or edited) follows its On.
    std::string ChangeList(const std::function<std::string(scales::ScaleList&)>& edit,
                           const std::string& fresh = {});
    void ShowList(const std::string& fresh = {});
    void ShowProblems();
    void UpdateButtons();
    void UpdateProgress();
    void SendFinished();
    void ShowSummary();
    void ShowHoldingsOf(int row, const TBoardHoldings& holdings);
    // Widths shared out by the room the view has, until the user sizes a column.
    void FitColumns();
    // Tall enough for a failure's whole reason.
    void FitRowHeight(int row);
    void CheckAll(bool checked);
    // The bar and state of a scale left out of the next send.
    void ClearProgress(int row);
    // Tells OnSending when Unfinished() changed.
    void TellSending();
    std::string TargetOf(int row) const;
    std::string SelectedTarget() const;

    TBoardOwner& FOwner;
    TBoardList FList;
    std::string FEditError;  // of the last change or send, until the next one
    bool FPreparing = false; // looking the scales' host names up before a send

    // The send under way.
    std::unique_ptr<TBoardSend> FSend;
    std::vector<Sent> FSent;
    std::deque<std::size_t> FHoldingsDue; // of FSent: ended, holdings not shown yet
    int FUnfinished = 0;                  // as OnSending last told it
    bool FFitting = false;                // FitColumns is setting the widths
    bool FUserSized = false;              // the user sized a column: the widths stay his
};
