#include "ScalesForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "app/BoardHoldings.h"
#include "app/BoardList.h"
#include "app/BoardSend.h"
#include "app/CrashReporter.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "scales/Targets.h"

namespace {

const QColor kSentColour(0, 128, 0);
const QColor kFailedColour(255, 0, 0);
const QColor kStoppedColour(160, 96, 0);
constexpr int kAckedRole = Qt::UserRole;    // progress: rows acknowledged
constexpr int kRowsRole = Qt::UserRole + 1; // progress: rows
constexpr int kTargetRole = Qt::UserRole;   // link: the target's bytes
constexpr int kWrapRole = Qt::UserRole;     // state: a failure's reason, as tall as it needs
// Scales whose holdings are read in one tick of the progress timer.
constexpr std::size_t kHoldingsPerTick = 4;

QString Q(const std::string& s) {
    return platform::ToQString(s);
}

// A bar in the progress column, drawn rather than a widget per row: two
// hundred scales repaint every tenth of a second.
class TBoardDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QVariant rows = index.data(kRowsRole);
        if (index.column() != TScalesForm::ColProgress || !rows.isValid()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionProgressBar bar;
        bar.initFrom(option.widget);
        bar.rect = option.rect.adjusted(2, 2, -2, -2);
        bar.minimum = 0;
        bar.maximum = std::max(1, rows.toInt());
        bar.progress = std::min(index.data(kAckedRole).toInt(), bar.maximum);
        // The state beside it says the row; a number across the bar's edge reads badly.
        bar.textVisible = false;
        bar.state |= QStyle::State_Horizontal;
        QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        // A failure's reason takes the room it needs (FitRowHeight).
        if (index.column() == TScalesForm::ColState) option->features |= QStyleOptionViewItem::WrapText;
        // A narrow link keeps its port in view.
        if (index.column() == TScalesForm::ColLink) option->textElideMode = Qt::ElideMiddle;
    }
};

QTableWidgetItem* NewItem(const QString& text = {}) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

} // namespace

// --- TScaleEntryForm -------------------------------------------------------

TScaleEntryForm::TScaleEntryForm(QWidget* parent, const QString& caption, const scales::ScaleEntry& entry)
    : QDialog(parent) {
    setWindowTitle(caption);
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    EditName = new QLineEdit(QString::fromStdString(entry.name), this);
    EditLink = new QLineEdit(Q(entry.target), this);
    EditLink->setPlaceholderText("tcp:HOST:PORT, udp:HOST:PORT or serial:DEVICE[@RATE[,8N1]]");
    // The whole example stays readable, at any scale of the screen.
    EditLink->setMinimumWidth(
        std::max(360, EditLink->fontMetrics().horizontalAdvance(EditLink->placeholderText()) + 24));
    CheckOn = new QCheckBox(this);
    CheckOn->setChecked(entry.enabled);
    form->addRow("Name", EditName);
    form->addRow("Link", EditLink);
    form->addRow("On", CheckOn);
    // The pause after each acknowledgement; 0 sends as fast as the scale answers.
    SpinPace = new QSpinBox(this);
    SpinPace->setRange(0, scales::kMaxPaceMs);
    SpinPace->setSuffix(" ms");
    SpinPace->setValue(entry.pace);
    form->addRow("Pace", SpinPace);
    layout->addLayout(form);
    LabelHint = new QLabel(
        "A name may hold a \"#\": in the list file only a line that begins with # is a comment.", this);
    LabelHint->setWordWrap(true);
    LabelHint->setEnabled(false); // greyed: a hint, not a field
    layout->addWidget(LabelHint);
    LabelError = new QLabel(this);
    LabelError->setWordWrap(true);
    QPalette p = LabelError->palette();
    p.setColor(QPalette::WindowText, kFailedColour);
    LabelError->setPalette(p);
    LabelError->hide();
    layout->addWidget(LabelError);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    btnOK = buttons->button(QDialogButtonBox::Ok);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] { crash::Guard([this] { accept(); }); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    EditName->setFocus();
}

scales::ScaleEntry TScaleEntryForm::Entry() const {
    scales::ScaleEntry entry;
    entry.target = EditLink->text().trimmed().toStdString();
    entry.name = EditName->text().trimmed().toStdString();
    entry.enabled = CheckOn->isChecked();
    entry.pace = SpinPace->value();
    return entry;
}

void TScaleEntryForm::accept() {
    const std::string error = OnAccept ? OnAccept(Entry()) : std::string();
    if (!error.empty()) {
        LabelError->setText(Q(error));
        LabelError->show();
        return;
    }
    QDialog::accept();
}

// --- TScalesForm -----------------------------------------------------------

TScalesForm::TScalesForm(QWidget* parent, TBoardOwner& owner) : QDialog(parent, Qt::Window), FOwner(owner) {
    setWindowTitle("Scales");
    // Wide enough for a failure's reason beside what each scale holds.
    const QRect screen = parent->screen() ? parent->screen()->availableGeometry() : QRect(0, 0, 1600, 1000);
    resize(std::min(1500, screen.width() - 40), std::min(680, screen.height() - 60));
    // Placed with room for the frame's title above it: centred on a small
    // screen, the title would go off its top.
    move(screen.x() + (screen.width() - width()) / 2,
         screen.y() + std::max(0, (screen.height() - height() - 40) / 2));

    auto* layout = new QVBoxLayout(this);
    LabelProblems = new QLabel(this);
    LabelProblems->setWordWrap(true);
    LabelProblems->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QPalette p = LabelProblems->palette();
    p.setColor(QPalette::WindowText, kFailedColour);
    LabelProblems->setPalette(p);
    LabelProblems->hide();
    layout->addWidget(LabelProblems);

    GridScales = new QTableWidget(0, ColCount, this);
    GridScales->setHorizontalHeaderLabels(
        {"", "Name", "Link", "On", "Holds now", "Last result", "Progress", "State"});
    GridScales->verticalHeader()->hide();
    // Two lines: what the scale holds of each kind of table.
    GridScales->verticalHeader()->setDefaultSectionSize(2 * GridScales->fontMetrics().lineSpacing() + 6);
    GridScales->setSelectionBehavior(QAbstractItemView::SelectRows);
    GridScales->setSelectionMode(QAbstractItemView::SingleSelection);
    GridScales->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // One stop in the tab order, as a list is in a dialog: Tab goes on to the buttons.
    GridScales->setTabKeyNavigation(false);
    GridScales->setWordWrap(false);
    GridScales->setItemDelegate(new TBoardDelegate(GridScales));
    auto* header = GridScales->horizontalHeader();
    header->setHighlightSections(false);
    header->setStretchLastSection(true);
    GridScales->installEventFilter(this);
    GridScales->viewport()->installEventFilter(this);
    layout->addWidget(GridScales, 1);

    LabelFile = new QLabel(this);
    LabelFile->setText("List: " + Q(scales::ScaleListPath()));
    LabelFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(LabelFile);
    LabelSummary = new QLabel(this);
    LabelSummary->hide();
    layout->addWidget(LabelSummary);

    // Created in the order Tab walks them.
    auto* buttons = new QHBoxLayout;
    btnCheckAll = new QPushButton("Check a&ll", this);
    btnCheckNone = new QPushButton("Check &none", this);
    btnAdd = new QPushButton("&Add…", this);
    btnEdit = new QPushButton("&Edit…", this);
    btnRemove = new QPushButton("&Remove", this);
    btnSend = new QPushButton("&Send to checked scales", this);
    btnStop = new QPushButton("S&top", this);
    btnSend->setDefault(true);
    buttons->addWidget(btnCheckAll);
    buttons->addWidget(btnCheckNone);
    buttons->addSpacing(12);
    buttons->addWidget(btnAdd);
    buttons->addWidget(btnEdit);
    buttons->addWidget(btnRemove);
    buttons->addStretch(1);
    buttons->addWidget(btnSend);
    buttons->addWidget(btnStop);
    layout->addLayout(buttons);

    TimerProgress = new QTimer(this);
    TimerProgress->setInterval(100);

    auto guarded = [this](void (TScalesForm::*handler)()) {
        return [this, handler] { crash::Guard([this, handler] { (this->*handler)(); }); };
    };
    connect(btnCheckAll, &QPushButton::clicked, this, guarded(&TScalesForm::btnCheckAllClick));
    connect(btnCheckNone, &QPushButton::clicked, this, guarded(&TScalesForm::btnCheckNoneClick));
    connect(btnAdd, &QPushButton::clicked, this, guarded(&TScalesForm::btnAddClick));
    connect(btnEdit, &QPushButton::clicked, this, guarded(&TScalesForm::btnEditClick));
    connect(btnRemove, &QPushButton::clicked, this, guarded(&TScalesForm::btnRemoveClick));
    connect(btnSend, &QPushButton::clicked, this, guarded(&TScalesForm::btnSendClick));
    connect(btnStop, &QPushButton::clicked, this, guarded(&TScalesForm::btnStopClick));
    connect(TimerProgress, &QTimer::timeout, this, guarded(&TScalesForm::UpdateProgress));
    connect(GridScales, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (item->column() != ColCheck) return;
        if (!Sending() && item->checkState() != Qt::Checked) ClearProgress(item->row());
        UpdateButtons();
    });
    connect(GridScales, &QTableWidget::itemSelectionChanged, this, [this] { UpdateButtons(); });
    connect(GridScales, &QTableWidget::cellDoubleClicked, this, [this](int, int) {
        if (!Sending()) crash::Guard([this] { btnEditClick(); });
    });
    connect(header, &QHeaderView::sectionResized, this, [this](int column, int, int) {
        if (!FFitting && column != ColState) FUserSized = true;
        if (column == ColState)
            for (int r = 0; r < GridScales->rowCount(); ++r)
                FitRowHeight(r);
    });

    ReadList();
    FitColumns();
}

TScalesForm::~TScalesForm() {
    if (FSend) {
        // The scales still being sent to are stopped, and recorded so.
        FSend->OnFinished = nullptr;
        FSend->Stop("the window was closed");
        UpdateProgress();
        FSend.reset();
    }
}

bool TScalesForm::eventFilter(QObject* watched, QEvent* e) {
    if (watched == GridScales && e->type() == QEvent::KeyPress) {
        // Space checks the current scale, whichever of its cells is current.
        const auto* key = static_cast<QKeyEvent*>(e);
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
            const int r = GridScales->currentRow();
            if (!Sending() && r >= 0 && r < GridScales->rowCount()) {
                QTableWidgetItem* check = GridScales->item(r, ColCheck);
                check->setCheckState(check->checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
            }
            return true;
        }
    }
    if (watched == GridScales->viewport() && e->type() == QEvent::Resize) FitColumns();
    return QDialog::eventFilter(watched, e);
}

void TScalesForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    FitColumns();
    // Opens at the first column, with the check boxes in view.
    GridScales->horizontalScrollBar()->setValue(0);
}

void TScalesForm::FitColumns() {
    if (FUserSized) return;
    const QFontMetrics fm = GridScales->fontMetrics();
    const int check = GridScales->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, GridScales) + 12;
    const int on = std::max(fm.horizontalAdvance("off"), fm.horizontalAdvance("On")) + 20;
    const int progress = 90;
    // Name, Link, Holds now, Last result and State share the rest.
    constexpr int kShares[] = {160, 150, 420, 240, 350};
    constexpr int kColumns[] = {ColName, ColLink, ColHolds, ColLast, ColState};
    constexpr int kAll = 160 + 150 + 420 + 240 + 350;
    const int minimum = GridScales->horizontalHeader()->minimumSectionSize();
    const int room = std::max(GridScales->viewport()->width() - check - on - progress, 5 * minimum);
    FFitting = true;
    GridScales->setColumnWidth(ColCheck, check);
    GridScales->setColumnWidth(ColOn, on);
    GridScales->setColumnWidth(ColProgress, progress);
    int used = 0;
    for (int i = 0; i < 4; ++i) {
        const int width = std::max(minimum, room * kShares[i] / kAll);
        GridScales->setColumnWidth(kColumns[i], width);
        used += width;
    }
    GridScales->setColumnWidth(ColState, std::max(minimum, room - used));
    FFitting = false;
}

void TScalesForm::FitRowHeight(int row) {
    const int base = GridScales->verticalHeader()->defaultSectionSize();
    int height = base;
    const QTableWidgetItem* state = GridScales->item(row, ColState);
    if (state && state->data(kWrapRole).toBool()) {
        // As the delegate lays the text out: the style's margin on each side.
        const int margin =
            GridScales->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, GridScales) + 1;
        const int width = std::max(1, GridScales->columnWidth(ColState) - 2 * margin);
        const QRect text = GridScales->fontMetrics().boundingRect(QRect(0, 0, width, 1 << 20),
                                                                  Qt::TextWordWrap, state->text());
        height = std::max(base, text.height() + 6);
    }
    if (GridScales->rowHeight(row) != height) GridScales->setRowHeight(row, height);
}

void TScalesForm::ReadList() {
    FList.Read();
    ShowList();
}

std::string TScalesForm::TargetOf(int row) const {
    const QTableWidgetItem* link = GridScales->item(row, ColLink);
    return link ? link->data(kTargetRole).toByteArray().toStdString() : std::string();
}

void TScalesForm::ShowList(const std::string& fresh) {
    // The checks of the scales still listed stay as the user left them, and so
    // do the bar and state of their last send, which a reopened board still tells.
    std::map<std::string, bool> checks;
    std::map<std::string, std::pair<QTableWidgetItem*, QTableWidgetItem*>> lastSend;
    for (int r = 0; r < GridScales->rowCount(); ++r)
        if (GridScales->item(r, ColLink)) {
            checks[TargetOf(r)] = GridScales->item(r, ColCheck)->checkState() == Qt::Checked;
            auto& kept = lastSend[TargetOf(r)];
            if (kept.first) continue; // a duplicate line: the first one's
            kept = {GridScales->takeItem(r, ColProgress), GridScales->takeItem(r, ColState)};
        }

    const QSignalBlocker quiet(GridScales);
    const auto& entries = FList.List().Entries();
    GridScales->setRowCount(static_cast<int>(entries.size()));
    for (int r = 0; r < static_cast<int>(entries.size()); ++r) {
        GridScales->setRowHeight(r, GridScales->verticalHeader()->defaultSectionSize());
        const scales::ScaleEntry& e = entries[static_cast<std::size_t>(r)];
        auto* check = NewItem();
        check->setFlags(check->flags() | Qt::ItemIsUserCheckable);
        const auto kept = checks.find(e.target);
        const bool checked = kept != checks.end() && e.target != fresh ? kept->second : e.enabled;
        check->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
        GridScales->setItem(r, ColCheck, check);
        GridScales->setItem(r, ColName, NewItem(QString::fromStdString(e.name)));
        auto* link = NewItem(Q(e.target));
        link->setData(kTargetRole, QByteArray::fromStdString(e.target));
        GridScales->setItem(r, ColLink, link);
        GridScales->setItem(r, ColOn, NewItem(e.enabled ? "on" : "off"));
        for (int c : {ColHolds, ColLast})
            GridScales->setItem(r, c, NewItem());
        const auto last = lastSend.find(e.target);
        if (last != lastSend.end() && e.target != fresh && last->second.first && last->second.second) {
            GridScales->setItem(r, ColProgress, std::exchange(last->second.first, nullptr));
            GridScales->setItem(r, ColState, std::exchange(last->second.second, nullptr));
            FitRowHeight(r);
        } else {
            GridScales->setItem(r, ColProgress, NewItem());
            GridScales->setItem(r, ColState, NewItem());
        }
    }
    for (auto& [target, items] : lastSend) {
        delete items.first;
        delete items.second;
    }
    ShowProblems();
    ShowHoldings();
    UpdateButtons();
}

void TScalesForm::ShowProblems() {
    QStringList lines;
    for (const std::string& m : FList.List().Messages())
        lines << Q(m);
    if (!FOwner.TransferHistory().Error().empty()) lines << Q(FOwner.TransferHistory().Error());
    if (!FEditError.empty()) lines << Q(FEditError);
    LabelProblems->setText(lines.join("\n"));
    LabelProblems->setVisible(!lines.isEmpty());
}

void TScalesForm::ShowHoldings() {
    const TBoardHoldings holdings(FOwner.TransferHistory());
    const QSignalBlocker quiet(GridScales);
    for (int r = 0; r < GridScales->rowCount(); ++r)
        ShowHoldingsOf(r, holdings);
}

void TScalesForm::ShowHoldingsOf(int row, const TBoardHoldings& holdings) {
    const std::string target = TargetOf(row);
    QTableWidgetItem* holds = GridScales->item(row, ColHolds);
    QTableWidgetItem* last = GridScales->item(row, ColLast);
    if (!holdings.Known()) {
        holds->setText({});
        last->setText({});
        return;
    }
    holds->setText(holdings.Holds(target));
    holds->setToolTip(holdings.HoldsInFull(target));
    holds->setForeground(holdings.Incomplete(target) ? QBrush(kFailedColour) : QBrush());
    last->setText(holdings.Last(target));
    last->setToolTip(holdings.LastInFull(target));
}

void TScalesForm::TableChanged() {
    UpdateButtons();
}

void TScalesForm::UpdateButtons() {
    const bool sending = Sending();
    int checked = 0;
    for (int r = 0; r < GridScales->rowCount(); ++r)
        if (GridScales->item(r, ColCheck)->checkState() == Qt::Checked) ++checked;
    const bool selected = !SelectedTarget().empty();
    btnSend->setEnabled(!sending && checked > 0 && !FOwner.LoadedPath().empty());
    btnStop->setEnabled(sending);
    btnCheckAll->setEnabled(!sending && checked < GridScales->rowCount());
    btnCheckNone->setEnabled(!sending && checked > 0);
    btnAdd->setEnabled(!sending);
    btnEdit->setEnabled(!sending && selected);
    btnRemove->setEnabled(!sending && selected);
}

std::string TScalesForm::SelectedTarget() const {
    const int r = GridScales->currentRow();
    if (r < 0 || r >= GridScales->rowCount() || !GridScales->item(r, ColLink)->isSelected()) return {};
    return TargetOf(r);
}

void TScalesForm::ClearProgress(int row) {
    // A scale left out of the next send shows nothing of the last one.
    QTableWidgetItem* bar = GridScales->item(row, ColProgress);
    QTableWidgetItem* state = GridScales->item(row, ColState);
    if (!bar || !state) return;
    const QSignalBlocker quiet(GridScales);
    bar->setData(kRowsRole, QVariant());
    bar->setData(kAckedRole, QVariant());
    state->setText({});
    state->setToolTip({});
    state->setData(kWrapRole, QVariant());
    FitRowHeight(row);
}

void TScalesForm::CheckAll(bool checked) {
    if (Sending()) return;
    {
        const QSignalBlocker quiet(GridScales);
        for (int r = 0; r < GridScales->rowCount(); ++r)
            GridScales->item(r, ColCheck)->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
    if (!checked)
        for (int r = 0; r < GridScales->rowCount(); ++r)
            ClearProgress(r);
    UpdateButtons();
}

void TScalesForm::btnCheckAllClick() {
    CheckAll(true);
}

void TScalesForm::btnCheckNoneClick() {
    CheckAll(false);
}

std::string TScalesForm::ChangeList(const std::function<std::string(scales::ScaleList&)>& edit,
                                    const std::string& fresh) {
    if (std::string error = FList.Change(edit); !error.empty()) return error;
    FEditError.clear();
    ShowList(fresh);
    return {};
}

void TScalesForm::btnAddClick() {
    if (Sending()) return;
    TScaleEntryForm dialog(this, "Add scale", scales::ScaleEntry{});
    dialog.OnAccept = [this](const scales::ScaleEntry& entry) {
        return ChangeList(
            [&](scales::ScaleList& list) {
                // The list's own check first: it names a text that is already there.
                if (list.Find(entry.target) >= 0 || !TBoardList::CheckTarget(entry.target).empty())
                    return list.Add(entry);
                if (std::string error = TBoardList::CheckSameScale(list, entry.target, -1); !error.empty())
                    return error;
                return list.Add(entry);
            },
            entry.target);
    };
    dialog.exec();
}

void TScalesForm::btnEditClick() {
    const std::string target = SelectedTarget();
    if (Sending() || target.empty()) return;
    const int i = FList.List().Find(target);
    if (i < 0) return;
    TScaleEntryForm dialog(this, "Edit scale", FList.List().Entries()[static_cast<std::size_t>(i)]);
    dialog.OnAccept = [this, target](const scales::ScaleEntry& entry) {
        return ChangeList(
            [&](scales::ScaleList& list) {
                const int now = list.Find(target);
                if (now < 0) return target + " is no longer in the list";
                if (entry.target != target && TBoardList::CheckTarget(entry.target).empty() &&
                    list.Find(entry.target) < 0)
                    if (std::string error = TBoardList::CheckSameScale(list, entry.target, now);
                        !error.empty())
                        return error;
                return list.Replace(static_cast<std::size_t>(now), entry);
            },
            entry.target);
    };
    dialog.exec();
}

void TScalesForm::btnRemoveClick() {
    const std::string target = SelectedTarget();
    if (Sending() || target.empty()) return;
    FEditError = ChangeList([&](scales::ScaleList& list) {
        const int now = list.Find(target);
        if (now >= 0) list.Remove(static_cast<std::size_t>(now));
        return std::string();
    });
    ShowProblems();
}

int TScalesForm::Unfinished() const {
    if (FPreparing) return static_cast<int>(FSent.size());
    if (!FSend) return 0;
    return static_cast<int>(
        std::count_if(FSent.begin(), FSent.end(), [](const Sent& s) { return !s.ended; }));
}

void TScalesForm::TellSending() {
    const int now = Unfinished();
    if (now == FUnfinished) return;
    FUnfinished = now;
    if (OnSending) OnSending(now);
}

void TScalesForm::btnSendClick() {
    if (Sending() || FOwner.LoadedPath().empty()) return;
    std::vector<scales::Target> targets;
    FSent.clear();
    FHoldingsDue.clear();
    for (int r = 0; r < GridScales->rowCount(); ++r) {
        if (GridScales->item(r, ColCheck)->checkState() != Qt::Checked) continue;
        const scales::ScaleEntry& e = FList.List().Entries()[static_cast<std::size_t>(r)];
        targets.push_back(scales::ParseTarget(e.target)); // checked when the list was read
        targets.back().name = e.name;
        targets.back().pace = e.pace;
        FSent.push_back(Sent{r, e.target, e.name});
    }
    if (targets.empty()) return;

    TBoardSend::Table table;
    table.path = FOwner.LoadedPath();
    table.digest = FOwner.LoadedDigest();
    table.data = &FOwner.LoadedTable();
    table.user = FOwner.KindChosen() == TDatabaseKind::User;
    // The window's own UDP link holds the port the board's UDP scales answer to.
    std::string udpPortNote;
    if (FOwner.HoldsUdpPort())
        udpPortNote =
            "local UDP port 1001, where the scales answer, is held by the main window's own UDP link: "
            "press \"Disconnect\" there, then send again";
    const auto refuse = [this](const char* why) {
        FPreparing = false;
        FSent.clear();
        UpdateButtons();
        TellSending();
        FEditError = why;
        ShowProblems();
    };
    std::unique_ptr<TBoardSend> send;
    try {
        send = std::make_unique<TBoardSend>(FOwner.TransferHistory(), table, std::move(targets), udpPortNote,
                                            FOwner.ConnectedTarget());
        FPreparing = true; // the look-up runs the event loop: no edit and no second send meanwhile
        UpdateButtons();
        TellSending();
        send->Prepare();
        FPreparing = false;
    } catch (const fleet::Refused& e) {
        refuse(e.what());
        return;
    } catch (const scales::TargetError& e) {
        refuse(e.what());
        return;
    }
    FEditError.clear();
    FSend = std::move(send);
    // Not from inside the fleet's own callbacks: the send goes afterwards.
    FSend->OnFinished = [this] { QTimer::singleShot(0, this, [this] { SendFinished(); }); };

    {
        const QSignalBlocker quiet(GridScales);
        for (int r = 0; r < GridScales->rowCount(); ++r) {
            GridScales->item(r, ColCheck)->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            for (int c : {ColProgress, ColState})
                GridScales->setItem(r, c, NewItem());
            FitRowHeight(r);
        }
        for (Sent& s : FSent) {
            GridScales->item(s.row, ColProgress)->setData(kRowsRole, FSend->Rows());
            GridScales->item(s.row, ColProgress)->setData(kAckedRole, 0);
            GridScales->item(s.row, ColState)->setText("connecting");
        }
    }
    UpdateButtons();
    TimerProgress->start();
    FSend->Start();
    UpdateProgress(); // a scale failed before its link opened says so at once
    ShowProblems();   // a history that could not be written says so now
}

void TScalesForm::btnStopClick() {
    if (!FSend) return;
    FSend->Stop("stopped by the user");
    UpdateProgress();
}

void TScalesForm::UpdateProgress() {
    if (!FSend) return;
    const std::vector<fleet::TFleet::Status> statuses = FSend->Statuses();
    const QSignalBlocker quiet(GridScales);
    for (std::size_t i = 0; i < FSent.size() && i < statuses.size(); ++i) {
        Sent& s = FSent[i];
        const fleet::TFleet::Status& st = statuses[i];
        QTableWidgetItem* bar = GridScales->item(s.row, ColProgress);
        QTableWidgetItem* state = GridScales->item(s.row, ColState);
        if (!st.finished) {
            bar->setData(kAckedRole, st.acknowledged);
            state->setText(
                st.started ? QString("row %1 of %2").arg(std::min(st.acknowledged + 1, st.rows)).arg(st.rows)
                           : QString("connecting"));
            continue;
        }
        if (s.ended) continue;
        s.ended = true;
        const fleet::TargetResult& r = FSend->Result(i);
        const QString text = TBoardSend::StateText(r);
        bar->setData(kAckedRole, r.acknowledged);
        state->setText(text);
        state->setToolTip(text);
        state->setData(kWrapRole,
                       r.outcome == fleet::TargetResult::Outcome::Failed ? QVariant(true) : QVariant());
        FitRowHeight(s.row);
        state->setForeground(r.outcome == fleet::TargetResult::Outcome::Sent     ? kSentColour
                             : r.outcome == fleet::TargetResult::Outcome::Failed ? kFailedColour
                                                                                 : kStoppedColour);
        FHoldingsDue.push_back(i);
    }
    // What they hold now, without waiting for the others: a few scales' history a
    // tick, so that many ending at once cost the loop no more than one does.
    for (std::size_t n = 0; n < kHoldingsPerTick && !FHoldingsDue.empty(); ++n) {
        const Sent& s = FSent[FHoldingsDue.front()];
        FHoldingsDue.pop_front();
        ShowHoldingsOf(s.row, TBoardHoldings(FOwner.TransferHistory(), s.target));
    }
    ShowSummary();
    TellSending();
}

void TScalesForm::ShowSummary() {
    if (!FSend) return;
    int sent = 0, failed = 0, stopped = 0, running = 0;
    for (std::size_t i = 0; i < FSent.size(); ++i) {
        if (!FSent[i].ended) {
            ++running;
            continue;
        }
        switch (FSend->Result(i).outcome) {
        case fleet::TargetResult::Outcome::Sent:
            ++sent;
            break;
        case fleet::TargetResult::Outcome::Failed:
            ++failed;
            break;
        case fleet::TargetResult::Outcome::Stopped:
            ++stopped;
            break;
        }
    }
    QString text = QString("%1 of %2 sent").arg(sent).arg(FSent.size());
    if (failed > 0) text += QString(", %1 failed").arg(failed);
    if (stopped > 0) text += QString(", %1 stopped").arg(stopped);
    if (running > 0) text += QString(", %1 still sending").arg(running);
    LabelSummary->setText(text);
    LabelSummary->show();
}

void TScalesForm::SendFinished() {
    if (!FSend) return;
    TimerProgress->stop();
    UpdateProgress();
    FSend.reset();
    const QSignalBlocker quiet(GridScales);
    for (int r = 0; r < GridScales->rowCount(); ++r)
        GridScales->item(r, ColCheck)
            ->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    // The scales whose holdings are not shown yet: one pass for them all.
    if (!FHoldingsDue.empty()) ShowHoldings();
    FHoldingsDue.clear();
    ShowProblems();
    UpdateButtons();
    TellSending();
}
