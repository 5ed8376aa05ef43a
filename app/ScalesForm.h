#pragma once
// The board of the shop's scales: the window that shows the settings folder's
// "scales" list (TBoardList) with what each scale holds (TBoardHoldings) and
// the progress of a send to every checked scale at once (TBoardSend, a fleet
// as scaledb-send drives).
#include <QDialog>
#include <QWidget>
#include <cstdint>
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

class TBoardSend;

// Name, Link, On and Pace of one scale. OK asks OnAccept, which writes the entry:
// an error text keeps the dialog open and shows it.
class TScaleEntryForm : public QDialog {
public:
    TScaleEntryForm(QWidget* parent, const QString& caption, const scales::ScaleEntry& entry);

    QLineEdit* EditName;
    QLineEdit* EditLink;
    QCheckBox* CheckOn;
    QSpinBox* SpinPace;
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

    virtual ~TBoardOwner() = default;
};

class TScalesForm : public QWidget {
public:
    // The columns of GridScales.
    enum Column { ColCheck, ColName, ColLink, ColOn, ColHolds, ColLast, ColProgress, ColState, ColCount };

    TScalesForm(QWidget* parent, TBoardOwner& owner);
    ~TScalesForm() override;

    QLabel* LabelProblems; // bad lines of the list and a history that cannot be used, once
    QTableWidget* GridScales;
    QLabel* LabelFile;
    QPushButton* btnAdd;
    QPushButton* btnEdit;
    QPushButton* btnRemove;
    QPushButton* btnSend;
    QPushButton* btnStop;
    QTimer* TimerProgress;

    // Reads the list file again; the checks of scales still listed are kept.
    void ReadList();
    // "Holds now" and "Last result" from the history, for the kind the main
    // window has chosen.
    void ShowHoldings();
    // The main window loaded a table.
    void TableChanged();
    // Also while the scales' host names are looked up before a send: the list and
    // the table stay as they are until the send has begun.
    bool Sending() const { return FSend != nullptr || FPreparing; }

    void btnAddClick();
    void btnEditClick();
    void btnRemoveClick();
    void btnSendClick();
    void btnStopClick();

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
    std::string SelectedTarget() const;

    TBoardOwner& FOwner;
    TBoardList FList;
    std::string FEditError;  // of the last change or send, until the next one
    bool FPreparing = false; // looking the scales' host names up before a send

    // The send under way.
    std::unique_ptr<TBoardSend> FSend;
    std::vector<Sent> FSent;
};
