#pragma once
// The main window: the grid, the link controls and the transfer of the
// table to the scale.
#include <QMainWindow>
#include <cstdint>
#include <memory>
#include <string>

#include "app/Controls.h"
#include "app/GridModel.h"
#include "app/ScalesForm.h"
#include "app/TransferTimes.h"
#include "fleet/ScaleTransfer.h"
#include "links/Link.h"
#include "links/serial/CPort.h"
#include "links/serial/SerialLink.h"
#include "platform/WinMsg.h"
#include "scales/History.h"
#include "scales/ScaleLock.h"
#include "settings/XMLConfig.h"
#include "transfer/TransferEngine.h"

class CEthConnection;
class QAction;
class QFileDialog;
class QLabel;
class QProgressBar;
class QTimer;

class TForm1 : public QMainWindow,
               public TBoardOwner,
               private TLinkListener,
               private fleet::TScaleTransferListener {
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Controls.
    TStringGrid* StringGrid1;
    QWidget* Panel1;
    QPushButton* btnOpenPort;
    TTagButton* bbWyslijBaze;
    TRadioGroup* rgBaza;
    TFitLabel* LabelConnection;
    QProgressBar* ProgressSend;
    // What the transfer is doing beyond the bar: waiting for the scale, or
    // where a stopped transfer left it.
    QLabel* LabelTransfer;
    // "Sending to 6 scales…" while the board's send runs, its window shown or not;
    // it brings the board up.
    QPushButton* btnBoardSending;
    QTimer* TimerWait;
    QAction* Otwrz1;      // File > Open
    QAction* Connection1; // the "Connection" command on the menu bar
    QAction* Scales1;     // "Scales…": the board of the shop's scales
    QFileDialog* OpenDialog1;

    // Components.
    TComPort ComPort1;
    // The serial link through ComPort1.
    TSerialLink FSerialLink{ComPort1, TSerialLinkOptions{}};
    settings::ConfigDocument XMLConfig;

    // State. The sequencer's state lives in the transfer's engine; the window
    // reads it under its own names. TimerBaza is the engine's 100 ms tick,
    // armed by every complete reply (a second one does not push it back) and
    // woken on time whatever the window repaints meanwhile.
    fleet::TScaleTransfer FTransfer;
    std::uint8_t FLinkState = 0;
    std::int32_t FRowIndex() const { return RowIndexCode(FTransfer.Progress()); }
    bool FSendFailed() const { return FTransfer.Progress().SendFailed; }
    bool TimerBazaActive() const { return FTransfer.Engine().TickPending(); }
    std::unique_ptr<CEthConnection> FEthLink;
    platform::HWND Handle() const { return FHandle; }
    // True from the start of FormClose: late ticks and replies are ignored.
    bool Closing() const { return FClosing; }
    // Closes as the session ends: the board's scales are stopped, nothing is asked.
    void EndSession();

    // Handlers.
    void FormCreate();
    void FormActivate();
    void FormClose();
    void Otwrz1Click();
    void Connection1Click();
    void Scales1Click();
    void btnOpenPortClick();
    void bbWyslijBazeClick();
    // The tick that found the end acknowledged (or a transfer failed): the
    // button back to idle, then the outcome box.
    void TimerBazaTimer(const TTransferOutcome& outcome);
    void ComPort1RxChar(TCustomComPort* Sender, int Count);
    void OnUpdatePortMessage(platform::WPARAM wParam);

    // Operations used by the other units.
    void ShowConnectionState();
    void SendOrder(const std::string& command);
    // Brings the progress bar and the transfer note up to date with the
    // sequencer; called whenever it may have moved.
    void UpdateProgress();

    // Loads a file into the grid: the whole file is read first, so a failure
    // leaves the previous table in place.
    void LoadFile(const std::string& path);
    // The file the grid holds; empty until one was loaded.
    const std::string& LoadedPath() const override { return FLoadedPath; }
    // Size and SHA-256 of that file, read when it was loaded.
    const scales::FileDigest& LoadedDigest() override;
    const TableData& LoadedTable() const override { return StringGrid1->Model()->Table(); }
    bool HoldsUdpPort() const override;
    std::string ConnectedTarget() const override;
    TDatabaseKind KindChosen() const override;
    // The transfer history, opened at the start; never stops a transfer.
    scales::History& TransferHistory() override { return *FHistory; }
    // The board, once "Scales…" was chosen.
    TScalesForm* ScalesForm() const { return FScalesForm; }

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    // The link the settings choose now, as the transfer sees it: its commands
    // go out through SendOrder. Opening and closing stay with "Connect".
    class TChosenLink : public TLink {
    public:
        explicit TChosenLink(TForm1& form) : FForm(form) {}
        void Open() override {}
        void Send(const std::string& command) override { FForm.SendOrder(command); }
        void Close() override {}
        std::uint8_t State() const override { return FForm.FLinkState; }
        void DiscardInput() override {
            if (TLink* link = FForm.CurrentLink()) link->DiscardInput();
        }

    private:
        TForm1& FForm;
    };

    // The link the settings choose now: commands go through it.
    TLink* CurrentLink();
    // Every link's received text and the Ethernet link's states.
    void LinkReceived(const std::string& text) override;
    void LinkStateChanged(std::uint8_t state) override;
    // The transfer's progress and end.
    void TransferMoved(const TTransferProgress& progress) override;
    void TransferEnded(const TTransferOutcome& outcome) override;
    TDatabaseKind TransferKindNow(TDatabaseKind started) override;
    void ShowTransferNote(const QString& text);
    // The board's send, told by the board: the scales it has not finished.
    void ShowBoardSending(int unfinished);
    // The board still sends: asks whether to stop it. False: the window stays.
    bool MayClose();
    void ShowWaitNote();
    // The history of the window's own transfer over its single link.
    std::string LinkTarget() const;
    void RecordTransferStart();
    void RecordTransferEnd(scales::TransferOutcome outcome, const TTransferOutcome* finished,
                           const std::string& message);
    bool Recording() const { return FTransfer.Recording(); }
    // Takes the lock of the scale the link talks to; "" when taken, else why not.
    std::string TakeScaleLock();

    TChosenLink FChosenLink{*this};
    platform::HWND FHandle = 0;
    bool FClosing = false;
    bool FClosed = false;
    bool FEndingSession = false;
    bool FShown = false;
    // A modal dialog of this program had the focus since the window last had it.
    bool FModalWasActive = false;

    // The transfer as UpdateProgress last saw it.
    bool FWasRunning = false;
    TTransferPhase FLastPhase = TTransferPhase::Idle;
    int FLastRow = 0;
    int FLastRows = 0;
    TTransferTimes FTimes;

    std::string FLoadedPath;
    std::optional<scales::FileDigest> FLoadedDigest;
    std::unique_ptr<scales::History> FHistory;
    TScalesForm* FScalesForm = nullptr;
    // Held while the window's transfer runs: no other sender interleaves on its scale.
    scales::TScaleLock FScaleLock;
    bool FTakingLock = false; // a host name is being looked up for it
};

extern TForm1* Form1;
