#include "okno.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCloseEvent>
#include <QCompleter>
#include <QFile>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QScopeGuard>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <utility>

#include "app/CrashReporter.h"
#include "app/Global.h"
#include "app/ProcessData.h"
#include "app/ScalesForm.h"
#include "app/XMLConfigForm.h"
#include "links/ethernet/EthConnection.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "scales/ScaleList.h"
#include "settings/ConnectionUnit.h"

TForm1* Form1 = nullptr;

namespace {

const char* RateText(TBaudRate rate) {
    switch (rate) {
    case br4800:
        return "4800";
    case br9600:
        return "9600";
    case br19200:
        return "19200";
    case br38400:
        return "38400";
    case br57600:
        return "57600";
    case br115200:
        return "115200";
    default:
        return "user defined";
    }
}

void SetLabelColour(QLabel* label, const QColor& colour) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
}

// Tells a file's type by its name alone. The default provider asks the MIME
// database, reading the start of every file whose name says nothing, on the
// GUI thread whenever the dialog lists its folder (at start too): in a large
// folder the window stalls, and a reply from the scale waits.
class TNameOnlyIconProvider : public QFileIconProvider {
public:
    QIcon icon(const QFileInfo& info) const override {
        return QAbstractFileIconProvider::icon(info.isDir() ? Folder : File);
    }
    QString type(const QFileInfo& info) const override {
        if (info.isDir()) return QStringLiteral("Folder");
        return info.suffix().isEmpty() ? QStringLiteral("File") : info.suffix() + QStringLiteral(" File");
    }
};

const QColor kConnectedColour(0, 128, 0);    // 0x8000
const QColor kDisconnectedColour(255, 0, 0); // 255
// Room kept between the state label and the database kind choice.
constexpr int kLabelGap = 4;

} // namespace

namespace {

TTransferOptions WindowTransfer() {
    TTransferOptions options; // the 100 ms tick, no time-out, no retry limit
    options.ExactTick = true;
    return options;
}

} // namespace

TForm1::TForm1(QWidget* parent) : QMainWindow(parent), FTransfer(WindowTransfer(), nullptr, *this) {
    Form1 = this;
    setWindowTitle(" Scale database v1.01");
    SetFormLook(this, 10, false);
    move(218, 114);
    resize(696, 479);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    StringGrid1 = new TStringGrid(central);
    layout->addWidget(StringGrid1, 1);

    Panel1 = new QWidget(central);
    Panel1->setFixedHeight(81);
    layout->addWidget(Panel1);
    setCentralWidget(central);

    btnOpenPort = new QPushButton("Connect", Panel1);
    btnOpenPort->setGeometry(11, 12, 78, 25);
    bbWyslijBaze = new TTagButton("Send database", Panel1);
    bbWyslijBaze->setGeometry(96, 12, 89, 25);
    rgBaza = new TRadioGroup(" Database kind: ", {"product database", "user database"}, 1, Panel1);
    rgBaza->setGeometry(192, 8, 185, 65);
    rgBaza->SetItemIndex(0);
    LabelConnection = new TFitLabel(Panel1);
    LabelConnection->move(16, 52);
    QFont bold = LabelConnection->font();
    bold.setBold(true);
    LabelConnection->setFont(bold);
    ProgressSend = new QProgressBar(Panel1);
    ProgressSend->setGeometry(392, 28, 280, 22);
    ProgressSend->setFormat("row %v of %m");
    ProgressSend->hide();
    LabelTransfer = new QLabel(Panel1);
    LabelTransfer->move(392, 54);
    LabelTransfer->hide();
    // Above the window's own bar, drawn as a link.
    btnBoardSending = new QPushButton(Panel1);
    btnBoardSending->setFlat(true);
    btnBoardSending->setCursor(Qt::PointingHandCursor);
    btnBoardSending->move(392, 4);
    {
        QFont link = btnBoardSending->font();
        link.setUnderline(true);
        btnBoardSending->setFont(link);
        QPalette p = btnBoardSending->palette();
        p.setColor(QPalette::ButtonText, p.color(QPalette::Link));
        btnBoardSending->setPalette(p);
    }
    btnBoardSending->hide();
    TimerWait = new QTimer(this);
    TimerWait->setInterval(250);

    auto* file = menuBar()->addMenu("File");
    Otwrz1 = file->addAction("Open");
    Otwrz1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O)); // 16463
    Connection1 = menuBar()->addAction("Connection");
    Scales1 = menuBar()->addAction("Scales…");

    OpenDialog1 = new QFileDialog(this);
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
    // One for the whole run: the dialog does not own it, and it holds nothing.
    static TNameOnlyIconProvider* const iconProvider = new TNameOnlyIconProvider;
    OpenDialog1->setIconProvider(iconProvider);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    // A typed name that does not exist is accepted and fails on opening.
    OpenDialog1->setFileMode(QFileDialog::AnyFile);
    // "*" rather than "*.*": on Linux the latter hides names without a dot.
    // The list names the filters only; the patterns still apply.
    OpenDialog1->setOption(QFileDialog::HideNameFilterDetails);
    OpenDialog1->setNameFilters({"csv files (*.csv)", "all files (*)"});

    // The transfer reads the grid at every tick and sends through SendOrder.
    FTransfer.SetRows(StringGrid1);
    FTransfer.UseLink(&FChosenLink);

    // The serial port as the window is designed: COM1, 9600 8N1, no flow
    // control, DTR and RTS off, all ten events watched.
    ComPort1.SetName("ComPort1");
    ComPort1.SetPort("COM1");
    ComPort1.SetBaudRate(br9600);
    ComPort1.SetDataBits(dbEight);
    ComPort1.SetStopBits(sbOneStopBit);
    ComPort1.OnRxChar = [this](TCustomComPort* sender, int count) { ComPort1RxChar(sender, count); };

    connect(Otwrz1, &QAction::triggered, this, [this] { crash::Guard([this] { Otwrz1Click(); }); });
    connect(Connection1, &QAction::triggered, this, [this] { crash::Guard([this] { Connection1Click(); }); });
    connect(Scales1, &QAction::triggered, this, [this] { crash::Guard([this] { Scales1Click(); }); });
    connect(btnBoardSending, &QPushButton::clicked, this,
            [this] { crash::Guard([this] { Scales1Click(); }); });
    connect(btnOpenPort, &QPushButton::clicked, this,
            [this] { crash::Guard([this] { btnOpenPortClick(); }); });
    connect(bbWyslijBaze, &QPushButton::clicked, this, [this] { bbWyslijBazeClick(); });
    connect(TimerWait, &QTimer::timeout, this, [this] { crash::Guard([this] { ShowWaitNote(); }); });

    // The last window of this program that had the focus before the main
    // window got it back; no window (another program's) changes nothing.
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* now) {
        if (now && now != windowHandle()) FModalWasActive = now->modality() != Qt::NonModal;
    });

    // Opened once: a history that cannot be opened only stays empty.
    FHistory = std::make_unique<scales::History>();
    FHistory->Open(scales::HistoryPath());

    FormCreate();
}

TForm1::~TForm1() {
    FClosing = true;
    // The board records its own transfers in the history, which goes first.
    delete FScalesForm;
    FScalesForm = nullptr;
    if (Recording()) RecordTransferEnd(scales::TransferOutcome::Stopped, nullptr, "the window was closed");
    FTransfer.Stop(); // closing: no progress is shown
    FEthLink.reset();
    platform::DeallocateHWnd(FHandle);
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::FormCreate() {
    FHandle = platform::AllocateHWnd([this](platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
        if (msg == WM_LINKSTATE) {
            crash::Guard([&] { OnUpdatePortMessage(w); });
            return platform::LRESULT{0};
        }
        return platform::DefWindowProcA(FHandle, msg, w, l);
    });
    MainWindowHandle = FHandle;
    // Failures are dropped: the design settings stay in force.
    RestoreComPortIni(ComPort1, platform::SettingsDir());
    FSerialLink.SetListener(this);
    FEthLink = std::make_unique<CEthConnection>();
    FEthLink->SetListener(this);
    // UDP commands go to Host:Port as they are at the moment of sending.
    FEthLink->UdpTarget = [] { return TUdpTarget{Host, Port}; };
    FLinkState = 0;
    PrepareConfig();
    ReadConfig();
}

void TForm1::LinkReceived(const std::string& text) {
    ProcessReply(text);
}

void TForm1::LinkStateChanged(std::uint8_t state) {
    // Whatever an earlier link left without a line end is not a reply.
    if (state == LinkConnected) FTransfer.ClearReplies();
    // Posted, as the window handles it later; the state travels sign-extended
    // from 8 bits.
    const auto wParam =
        static_cast<platform::WPARAM>(static_cast<std::intptr_t>(static_cast<std::int8_t>(state)));
    platform::PostMessage(MainWindowHandle, WM_LINKSTATE, wParam, 0);
}

void TForm1::FormActivate() {
    setWindowState(windowState() | Qt::WindowMaximized);
    repaint();
    ShowConnectionState();
}

void TForm1::FormClose() {
    if (FClosed) return;
    FClosed = true;
    FClosing = true;
    if (Recording()) RecordTransferEnd(scales::TransferOutcome::Stopped, nullptr, "the window was closed");
    // No tick runs once the window closes.
    FTransfer.Stop();
    FScaleLock.Release();
    try {
        ComPort1.Close();
    } catch (...) {
    }
    ShowConnectionState();
    try {
        ComPort1.SaveSettings(ssIniFile, ComPortIniPath(platform::SettingsDir()));
    } catch (...) {
    }
    FEthLink.reset();
    SaveConfig();
    try {
        QCoreApplication::quit();
    } catch (...) {
    }
}

bool TForm1::event(QEvent* e) {
    // Activation counts when it comes back from one of the program's own modal
    // dialogs; coming back from another program leaves the window as it is.
    if (e->type() == QEvent::WindowActivate && FModalWasActive) {
        FModalWasActive = false;
        crash::Guard([this] { FormActivate(); });
    }
    return QMainWindow::event(e);
}

void TForm1::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    // Showing the main window at start activates it, also where no window
    // manager hands out activation.
    if (!FShown) {
        FShown = true;
        crash::Guard([this] { FormActivate(); });
    }
}

void TForm1::closeEvent(QCloseEvent* e) {
    // The window's own transfer ends with it, as it always has; the board's
    // scales are many, and the board may be out of sight: that is asked.
    bool close = true;
    crash::Guard([&] { close = MayClose(); });
    if (!close) {
        e->ignore();
        return;
    }
    crash::Guard([this] { FormClose(); });
    e->accept();
}

bool TForm1::MayClose() {
    if (FClosed || FEndingSession || !FScalesForm) return true;
    const auto question = [](int unfinished) {
        return unfinished == 1
                   ? QString("1 scale is receiving a table. Closing stops it and leaves it incomplete.")
                   : QString("%1 scales are receiving a table. Closing stops them and leaves them "
                             "incomplete.")
                         .arg(unfinished);
    };
    if (FScalesForm->Unfinished() == 0) return true;
    QMessageBox box(QMessageBox::Warning, "Scales", question(FScalesForm->Unfinished()),
                    QMessageBox::NoButton, this);
    QPushButton* stop = box.addButton("Stop and close", QMessageBox::DestructiveRole);
    QPushButton* keep = box.addButton("Keep sending", QMessageBox::RejectRole);
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    // The scales go on while it asks: the count stays true, and once none is
    // left there is nothing to ask.
    bool done = false;
    QTimer count;
    count.setInterval(250);
    connect(&count, &QTimer::timeout, &box, [&] {
        const int now = FScalesForm ? FScalesForm->Unfinished() : 0;
        if (now > 0) {
            if (box.text() != question(now)) box.setText(question(now));
            return;
        }
        done = true;
        box.reject();
    });
    count.start();
    box.exec();
    return done || box.clickedButton() == stop;
}

void TForm1::EndSession() {
    FEndingSession = true;
    close();
}

void TForm1::ShowBoardSending(int unfinished) {
    if (unfinished == 0) {
        btnBoardSending->hide();
        return;
    }
    btnBoardSending->setText(unfinished == 1 ? QString("Sending to 1 scale…")
                                             : QString("Sending to %1 scales…").arg(unfinished));
    btnBoardSending->adjustSize();
    btnBoardSending->show();
}

void TForm1::Otwrz1Click() {
    OpenDialog1->selectNameFilter("csv files (*.csv)");
    const int result = OpenDialog1->exec();
    // A file name typed and confirmed with Enter can leave the name completer's
    // list open; it would swallow the next click on the main window.
    for (auto* completer : OpenDialog1->findChildren<QCompleter*>())
        if (completer->popup()) completer->popup()->hide();
    if (result != QDialog::Accepted) return;
    const QStringList files = OpenDialog1->selectedFiles();
    if (files.isEmpty()) return;
    LoadFile(QFile::encodeName(files.first()).toStdString());
}

void TForm1::LoadFile(const std::string& path) {
    TableData table = LoadDatabaseFile(path);
    StringGrid1->Model()->SetTable(std::move(table));
    FLoadedPath = path;
    // Of the bytes just loaded: the file may be rewritten before the table is sent.
    FLoadedDigest = scales::DigestFile(path).value_or(scales::FileDigest{});
    if (FScalesForm) FScalesForm->TableChanged();
    // What a stopped transfer left on the scale is no longer this table.
    if (!FWasRunning) ShowTransferNote({});
    UpdateProgress();
}

void TForm1::ShowConnectionState() {
    // The port name or host, then the rest; the name gives way when the label
    // would reach the database kind choice.
    QString name, rest;
    if (Kind == KindSerial) {
        name = platform::ToQString(ComPort1.Port());
        rest = QString(" ") + RateText(ComPort1.BaudRate()) + "bps";
        if (ComPort1.Connected()) {
            btnOpenPort->setText("Disconnect");
            rest += " connected";
            SetLabelColour(LabelConnection, kConnectedColour);
        } else {
            btnOpenPort->setText("Connect");
            rest += " disconnected";
            SetLabelColour(LabelConnection, kDisconnectedColour);
        }
    } else {
        name = platform::ToQString(Host);
        if (FLinkState == LinkDisconnected) {
            btnOpenPort->setText("Connect");
            rest = " disconnected";
            SetLabelColour(LabelConnection, kDisconnectedColour);
        } else if (FLinkState == LinkConnected) {
            btnOpenPort->setText("Disconnect");
            rest = " connected";
            SetLabelColour(LabelConnection, kConnectedColour);
        }
    }
    LabelConnection->SetParts(name, rest, rgBaza->x() - LabelConnection->x() - kLabelGap);
}

void TForm1::OnUpdatePortMessage(platform::WPARAM wParam) {
    // A notification the Ethernet link posted before the user switched to the
    // serial port must not overwrite the serial port's state.
    if (Kind == KindSerial) return;
    FLinkState = static_cast<std::uint8_t>(wParam & 0xFF);
    ShowConnectionState();
}

void TForm1::btnOpenPortClick() {
    if (FClosing) return;
    if (Kind != KindSerial) {
        if (FEthLink) FEthLink->Toggle(Protocol, Host, Port);
        return;
    }
    if (FLinkState == LinkDisconnected) {
        FSerialLink.Open();
        if (FSerialLink.State() == LinkConnected) {
            // Whatever an earlier link left without a line end is not a reply.
            FTransfer.ClearReplies();
            FLinkState = LinkConnected;
            btnOpenPort->setText("Disconnect");
        } else {
            QMessageBox::warning(this, "Tesmarv9",
                                 "Selected COM port does not exist or is occupied by other software");
        }
    } else {
        FSerialLink.Close();
        FLinkState = LinkDisconnected;
        btnOpenPort->setText("Connect");
    }
    ShowConnectionState();
}

void TForm1::Connection1Click() {
    // The link is asked for its own state: a change it has posted but the
    // window has not yet handled still counts.
    auto linkState = [this] { return (Kind != KindSerial && FEthLink) ? FEthLink->State() : FLinkState; };
    if (linkState() != LinkDisconnected) btnOpenPortClick();
    ShowConnectionDialog(GlobalConfig.Link, &ComPort1, [this] { btnOpenPortClick(); });
    if (FClosing) return; // the program is ending (crash reporter's choice)
    if (linkState() == LinkDisconnected) btnOpenPortClick();
}

void TForm1::Scales1Click() {
    if (!FScalesForm) {
        FScalesForm = new TScalesForm(this, *this);
        FScalesForm->OnSending = [this](int unfinished) { ShowBoardSending(unfinished); };
    } else if (!FScalesForm->Sending()) {
        // The list may have been edited by hand since.
        FScalesForm->ReadList();
    }
    FScalesForm->show();
    FScalesForm->raise();
    FScalesForm->activateWindow();
}

const scales::FileDigest& TForm1::LoadedDigest() {
    if (!FLoadedDigest) FLoadedDigest = scales::DigestFile(FLoadedPath).value_or(scales::FileDigest{});
    return *FLoadedDigest;
}

bool TForm1::HoldsUdpPort() const {
    return Kind != KindSerial && Protocol == ProtocolUDP && FEthLink && FEthLink->State() != LinkDisconnected;
}

std::string TForm1::ConnectedTarget() const {
    const bool connected =
        Kind == KindSerial ? ComPort1.Connected() : FEthLink && FEthLink->State() != LinkDisconnected;
    return connected ? LinkTarget() : std::string();
}

TDatabaseKind TForm1::KindChosen() const {
    return rgBaza->ItemIndex() == 1 ? TDatabaseKind::User : TDatabaseKind::Product;
}

std::string TForm1::LinkTarget() const {
    // Written as a target of the scales list, so both kinds of transfer to one
    // scale meet in the history.
    const TBaudRate rate = ComPort1.BaudRate();
    const std::int32_t bps = rate == brCustom ? ComPort1.CustomBaudRate() : BaudRateValue(rate);
    return settings::LinkTargetText(GlobalConfig.Link, ComPort1.Port(), bps);
}

void TForm1::RecordTransferStart() {
    scales::TransferStart table;
    table.path = FLoadedPath;
    const scales::FileDigest& digest = LoadedDigest();
    table.size = digest.size;
    table.sha256 = digest.sha256;
    table.rows = StringGrid1->RowCount();
    table.kind = KindChosen() == TDatabaseKind::User ? scales::TableKind::User : scales::TableKind::Product;
    table.program = "scaledb";
    // The scale's name when the list knows its link, however the list spells it.
    FTransfer.RecordIn(std::make_unique<fleet::TRecorder>(*FHistory, table, fleet::TScaleNames::Listed()),
                       LinkTarget());
    FTransfer.BeginRecord();
}

void TForm1::RecordTransferEnd(scales::TransferOutcome outcome, const TTransferOutcome* finished,
                               const std::string& message) {
    const TTransferProgress progress = finished ? finished->Progress : FTransfer.Progress();
    FTransfer.EndRecord(outcome, FTransfer.EndRow(finished, StringGrid1->RowCount()), progress,
                        finished ? fleet::FaultWords(*finished, 0) : message);
}

std::string TForm1::TakeScaleLock() {
    const std::string target = LinkTarget();
    std::string key;
    try {
        std::vector<scales::Target> link{scales::ParseTarget(target)};
        // By its address, as the board and scaledb-send lock it; only a host name is looked up.
        FTakingLock = true;
        const auto looked = qScopeGuard([this] { FTakingLock = false; });
        scales::LookUpHosts(link);
        key = scales::LockKey(link[0]);
    } catch (const scales::TargetError&) {
        key = scales::ScaleKey(target);
    }
    return FScaleLock.TryTake(key, "scaledb");
}

TLink* TForm1::CurrentLink() {
    if (Kind == KindSerial) return &FSerialLink;
    return FEthLink ? FEthLink->Link(Protocol) : nullptr;
}

void TForm1::SendOrder(const std::string& command) {
    // The link frames it; one that is not open sends nothing.
    if (TLink* link = CurrentLink()) link->Send(command);
}

void TForm1::TransferMoved(const TTransferProgress&) {
    if (!FClosing) UpdateProgress();
}

void TForm1::TransferEnded(const TTransferOutcome& outcome) {
    crash::Guard([&] { TimerBazaTimer(outcome); });
}

TDatabaseKind TForm1::TransferKindNow(TDatabaseKind) {
    return KindChosen();
}

void TForm1::ComPort1RxChar(TCustomComPort*, int Count) {
    FSerialLink.ReadReceived(Count);
}

void TForm1::bbWyslijBazeClick() {
    try {
        if (bbWyslijBaze->Tag == 0) {
            if (FTakingLock) return; // a click while the scale's name is looked up
            // One sender per scale: not while another program, or the board, sends to it.
            const std::string busy = TakeScaleLock();
            if (FClosing) { // closed while the name was looked up
                FScaleLock.Release();
                return;
            }
            // A lock file that cannot be made (a read-only folder) stops nothing: the
            // window sent before there were locks, and says nothing of its history either.
            if (!busy.empty() && scales::HeldByAnother(busy)) {
                QMessageBox::warning(this, "Failure",
                                     "Database could not be sent to scale: " + platform::ToQString(busy) +
                                         ".");
                return;
            }
            bbWyslijBaze->Tag = 1;
            bbWyslijBaze->setText("Stop");
            btnOpenPort->setEnabled(false);
            RecordTransferStart();
            FTransfer.Start(rgBaza->ItemIndex() == 1 ? TDatabaseKind::User : TDatabaseKind::Product);
        } else {
            bbWyslijBaze->Tag = 0;
            bbWyslijBaze->setText("Send database");
            btnOpenPort->setEnabled(true);
            if (Recording())
                RecordTransferEnd(scales::TransferOutcome::Stopped, nullptr, "stopped by the user");
            // Late acknowledgements must not carry a stopped transfer on.
            FTransfer.Stop();
            FScaleLock.Release();
        }
    } catch (...) {
    }
}

void TForm1::TimerBazaTimer(const TTransferOutcome& outcome) {
    if (FClosing) return;
    RecordTransferEnd(outcome.Done ? scales::TransferOutcome::Sent : scales::TransferOutcome::Failed,
                      &outcome, {});
    bbWyslijBazeClick();
    UpdateProgress();
    if (outcome.Progress.SendFailed)
        QMessageBox::information(this, "Failure", "Database could not be sent to scale.");
    else
        QMessageBox::information(this, "Success", "Database was sent to scale.");
}

void TForm1::UpdateProgress() {
    const TTransferProgress p = FTransfer.Progress();
    FTimes.Replies(p.Replies);
    const bool running = bbWyslijBaze->Tag == 1 && p.Running();
    if (!running) {
        if (FWasRunning) {
            FWasRunning = false;
            TimerWait->stop();
            // A transfer that did not reach its end leaves part of a table.
            if (FLastPhase == TTransferPhase::Ended)
                ShowTransferNote({});
            else
                ShowTransferNote(QString("Stopped at row %1 of %2: the scale holds an incomplete table")
                                     .arg(FLastRow)
                                     .arg(FLastRows));
        }
        ProgressSend->hide();
        return;
    }
    if (!FWasRunning) {
        FWasRunning = true;
        FTimes.Begin();
        TimerWait->start();
        ShowTransferNote({});
    }
    const int rows = StringGrid1->RowCount();
    // The row going out now; all of them once the end command is sent.
    const int current = std::min(p.Row(rows), rows);
    FLastPhase = p.Phase;
    FLastRow = current;
    FLastRows = rows;

    FTimes.Row(current);
    // While the scale is quiet no time left can be told: the wait note says what is known.
    const QString format =
        "row %v of %m" + FTimes.Left(current, rows, p.Phase == TTransferPhase::Records && !FTimes.Quiet());
    if (ProgressSend->format() != format) ProgressSend->setFormat(format);
    if (ProgressSend->maximum() != rows) ProgressSend->setRange(0, rows);
    ProgressSend->setValue(current);
    if (ProgressSend->isHidden()) ProgressSend->show();
    // A reply came: the wait is over.
    if (!LabelTransfer->isHidden() && !FTimes.Quiet()) ShowTransferNote({});
}

void TForm1::ShowWaitNote() {
    if (!FWasRunning) return;
    if (const QString note = FTimes.WaitNote(); !note.isEmpty()) {
        ShowTransferNote(note);
        UpdateProgress(); // the bar without its time left
    }
}

void TForm1::ShowTransferNote(const QString& text) {
    if (text.isEmpty()) {
        LabelTransfer->hide();
        return;
    }
    if (LabelTransfer->text() != text) {
        LabelTransfer->setText(text);
        LabelTransfer->adjustSize();
    }
    // Below the bar while it runs; in the bar's place once it is gone.
    const QPoint at(ProgressSend->x(), FWasRunning ? 54 : ProgressSend->y() + 3);
    if (LabelTransfer->pos() != at) LabelTransfer->move(at);
    LabelTransfer->show();
}
