#include "CPortSetup.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <algorithm>
#include <memory>

#include "platform/TranslateForm.h"
#include "settings/Controls.h"

bool SerialSetupApplied = false;

namespace {

QLabel* MakeLabel(const char* name, const QString& caption, QWidget* parent, int left, int top, int width) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->setGeometry(left, top, width, 13);
    return label;
}

constexpr int ComboLeft = 80;
constexpr int ComboWidth = 129;
constexpr int MinComboWidth = 113;
// Room between a label's text and its list.
constexpr int LabelGap = 6;

TComComboBox* MakeCombo(const char* name, TComProperty property, QWidget* parent, int top) {
    auto* combo = new TComComboBox(parent);
    combo->setObjectName(name);
    combo->setGeometry(ComboLeft, top, ComboWidth, 21);
    combo->SetAutoApply(false);
    combo->SetComProperty(property);
    return combo;
}

QToolButton* MakeSpeedButton(const char* name, const QString& caption, const QString& hint,
                             QStyle::StandardPixmap image, QWidget* parent, int left, int width) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(caption);
    button->setToolTip(hint);
    button->setIcon(parent->style()->standardIcon(image));
    button->setIconSize(QSize(16, 16));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setAutoRaise(true);
    button->setGeometry(left, 184, width, 25);
    return button;
}

QPushButton* MakeHiddenButton(const char* name, const QString& caption, QWidget* parent, int left) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(left, 188, 17, 22);
    button->setAutoDefault(false);
    button->setDefault(false);
    button->hide();
    return button;
}

} // namespace

TComSetupFrm::TComSetupFrm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setObjectName("ComSetupFrm");
    setWindowTitle("RS-232 settings");
    SetFormLook(this, 11, true);
    setFixedSize(231, 216);

    GroupBox1 = new QGroupBox(" Settings: ", this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(8, 8, 217, 169);
    Label1 = MakeLabel("Label1", "Port:", GroupBox1, 8, 24, 22);
    Label2 = MakeLabel("Label2", "Baud rate:", GroupBox1, 8, 48, 49);
    Label3 = MakeLabel("Label3", "Data bits:", GroupBox1, 8, 72, 45);
    Label4 = MakeLabel("Label4", "Stop bits:", GroupBox1, 8, 96, 44);
    Label5 = MakeLabel("Label5", "Parity:", GroupBox1, 8, 120, 29);
    Label6 = MakeLabel("Label6", "Flow control:", GroupBox1, 8, 144, 60);
    Combo1 = MakeCombo("Combo1", cpPort, GroupBox1, 16);
    Combo2 = MakeCombo("Combo2", cpBaudRate, GroupBox1, 40);
    Combo3 = MakeCombo("Combo3", cpDataBits, GroupBox1, 64);
    Combo4 = MakeCombo("Combo4", cpStopBits, GroupBox1, 88);
    Combo5 = MakeCombo("Combo5", cpParity, GroupBox1, 112);
    Combo6 = MakeCombo("Combo6", cpFlowControl, GroupBox1, 136);
    setTabOrder(Combo1, Combo2);
    setTabOrder(Combo2, Combo3);
    setTabOrder(Combo3, Combo4);
    setTabOrder(Combo4, Combo5);
    setTabOrder(Combo5, Combo6);

    sbApply =
        MakeSpeedButton("sbApply", "Zastosuj", "Apply settings", QStyle::SP_DialogApplyButton, this, 80, 73);
    sbCancel = MakeSpeedButton("sbCancel", "Anuluj", "Cancel settings", QStyle::SP_DialogCancelButton, this,
                               160, 65);
    BitBtnApply = MakeHiddenButton("BitBtnApply", "Apply", this, 8);
    BitBtnCancel = MakeHiddenButton("BitBtnCancel", "Cancel", this, 16);

    connect(BitBtnApply, &QPushButton::clicked, this, [this] { done(mrApply); });
    connect(BitBtnCancel, &QPushButton::clicked, this, [this] { done(mrCancel); });
    connect(sbApply, &QToolButton::clicked, this, [this] { sbApplyClick(); });
    connect(sbCancel, &QToolButton::clicked, this, [this] { sbCancelClick(); });

    FormCreate();
    // Centred at the size FormCreate left it.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void TComSetupFrm::FormCreate() {
    // The lists hold the exact texts the settings parsers read back.
    for (const char* name : {"Combo1", "Combo2", "Combo3", "Combo4", "Combo5", "Combo6"})
        platform::ExcludeFromTranslation(this, name);
    platform::TranslateForm(this, "cport");
    // Labels fit their text, which translation and the font in use may have
    // lengthened; the lists then start clear of the widest one, keeping their
    // right edge while they stay wide enough for a device path.
    int widest = 0;
    for (QLabel* label : {Label1, Label2, Label3, Label4, Label5, Label6}) {
        label->adjustSize();
        widest = std::max(widest, label->width());
    }
    const int left = std::max(ComboLeft, Label1->x() + widest + LabelGap);
    const int comboWidth = std::max(MinComboWidth, ComboLeft + ComboWidth - left);
    const int grow = left + comboWidth - (ComboLeft + ComboWidth);
    if (left == ComboLeft) return;
    for (TComComboBox* combo : {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6})
        combo->setGeometry(left, combo->y(), comboWidth, combo->height());
    if (grow <= 0) return;
    GroupBox1->resize(GroupBox1->width() + grow, GroupBox1->height());
    for (QToolButton* button : {sbApply, sbCancel})
        button->move(button->x() + grow, button->y());
    setFixedSize(width() + grow, height());
}

void TComSetupFrm::sbApplyClick() {
    BitBtnApply->click();
    SerialSetupApplied = true;
}

void TComSetupFrm::sbCancelClick() {
    BitBtnCancel->click();
    SerialSetupApplied = false;
}

void TComSetupFrm::reject() {
    done(mrCancel);
}

void TComSetupFrm::keyPressEvent(QKeyEvent* e) {
    if (!SwallowDialogKeys(e)) QDialog::keyPressEvent(e);
}

void ExecuteComSetup(TCustomComPort* ComPort) {
    auto frm = std::make_unique<TComSetupFrm>();
    TComComboBox* const combos[] = {frm->Combo1, frm->Combo2, frm->Combo3,
                                    frm->Combo4, frm->Combo5, frm->Combo6};
    for (TComComboBox* combo : combos)
        combo->SetComPort(ComPort);
    if (frm->exec() != TComSetupFrm::mrApply || ComPort == nullptr) return;
    ComPort->BeginChange();
    try {
        for (TComComboBox* combo : combos)
            combo->ApplyToPort();
    } catch (...) {
        // The batch is closed on the failure path too, so the port is not
        // left refusing every later change; the first failure is the one
        // the caller hears about.
        try {
            ComPort->EndChange();
        } catch (...) {
        }
        throw;
    }
    ComPort->EndChange();
}

void TCustomComPort::ShowSettingsDialog() {
    ExecuteComSetup(this);
}
