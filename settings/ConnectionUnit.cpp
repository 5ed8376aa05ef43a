#include "ConnectionUnit.h"

#include <algorithm>
#include <utility>

#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QStyle>
#include <QToolButton>

#include "links/serial/CPort.h"
#include "platform/Text.h"
#include "platform/ThreadGuard.h"
#include "settings/CPortSetup.h"
#include "settings/Controls.h"

TConnectionForm* ConnectionForm = nullptr;

namespace {

// Item 10 ("4800") stands for every rate the list does not name.
constexpr int DefaultBaudRateItem = 10;

constexpr int IpTypingLimit = 15;
constexpr int PortTypingLimit = 5;

const char* const BaudRateItems[] = {"50",    "75",    "110",    "134.5",  "150",    "300",   "600",
                                     "1200",  "1800",  "2400",   "4800",   "7200",   "9600",  "19200",
                                     "38400", "57600", "115200", "230400", "460800", "921600"};

bool IsWholeNumber(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

QLabel* MakeLabel(const char* name, const QString& caption, QWidget* parent, int left, int top) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QLineEdit* MakeEdit(const char* name, const QString& text, QWidget* parent, int left, int top, int width) {
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setGeometry(left, top, width, 21);
    return edit;
}

// An edit's length limit is for typing: a longer value is shown whole (so
// Apply stores what was there) and the limit closes in as the user shortens it.
void LimitTyping(QLineEdit* edit, int typingLimit) {
    edit->setMaxLength(typingLimit);
    QObject::connect(edit, &QLineEdit::textEdited, edit, [edit, typingLimit](const QString& text) {
        edit->setMaxLength(std::max(typingLimit, static_cast<int>(text.size())));
    });
}

void ShowWhole(QLineEdit* edit, int typingLimit, const QString& text) {
    edit->setMaxLength(std::max(typingLimit, static_cast<int>(text.size())));
    edit->setText(text);
}

QToolButton* MakeFlatButton(const char* name, const QString& caption, QStyle::StandardPixmap image,
                            QWidget* parent, QRect geometry) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(caption);
    button->setIcon(parent->style()->standardIcon(image));
    button->setIconSize(QSize(16, 16));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setAutoRaise(true);
    button->setGeometry(geometry);
    return button;
}

} // namespace

// ---------------------------------------------------------------------------
// TUpDown

TUpDown::TUpDown(QLineEdit* associate, int min, int max, QWidget* parent)
    : QWidget(parent), FAssociate(associate), FMin(min), FMax(max), FPosition(min) {
    FUp = new QToolButton(this);
    FUp->setArrowType(Qt::UpArrow);
    FUp->setAutoRepeat(true);
    FDown = new QToolButton(this);
    FDown->setArrowType(Qt::DownArrow);
    FDown->setAutoRepeat(true);
    connect(FUp, &QToolButton::clicked, this, [this] { StepBy(1); });
    connect(FDown, &QToolButton::clicked, this, [this] { StepBy(-1); });
}

void TUpDown::SetPosition(int value) {
    FPosition = std::clamp(value, FMin, FMax);
    if (FAssociate) FAssociate->setText(QString::number(FPosition));
}

void TUpDown::StepBy(int delta) {
    // The edit may have been typed into (or filled by the dialog) since the
    // last step: its number is the one to step from.
    if (FAssociate) {
        bool ok = false;
        const int typed = FAssociate->text().trimmed().toInt(&ok);
        if (ok) FPosition = std::clamp(typed, FMin, FMax);
    }
    SetPosition(FPosition + delta);
}

void TUpDown::resizeEvent(QResizeEvent*) {
    const int half = height() / 2;
    FUp->setGeometry(0, 0, width(), half);
    FDown->setGeometry(0, half, width(), height() - half);
}

// ---------------------------------------------------------------------------
// TConnectionForm

TConnectionForm::TConnectionForm(QWidget* parent) : QDialog(parent) {
    setObjectName("ConnectionForm");
    setWindowTitle("Ustawienia połączenia");
    SetFormLook(this, 11, true);
    move(465, 238);

    rgConnection = new TRadioGroup(" Connection:", {"Serial port", "Ethernet"}, 2, this);
    rgConnection->setObjectName("rgConnection");
    rgConnection->setGeometry(0, 0, 225, 41);
    rgConnection->SetItemIndex(0);

    gbEthernet = new QGroupBox(" Ustawienia połączenia ethernetowego: ", this);
    gbEthernet->setObjectName("gbEthernet");
    gbEthernet->setGeometry(0, 48, 225, 129);
    Label1 = MakeLabel("Label1", "Adres IP:", gbEthernet, 10, 28);
    EditIP = MakeEdit("EditIP", "000.000.000.000", gbEthernet, 64, 24, 89);
    LimitTyping(EditIP, IpTypingLimit);
    Label2 = MakeLabel("Label2", "Port:", gbEthernet, 26, 60);
    EditPort = MakeEdit("EditPort", "00000", gbEthernet, 64, 56, 46);
    LimitTyping(EditPort, PortTypingLimit);
    rgEthProtocol = new TRadioGroup("Protokół", {"TCP", "UDP"}, 2, gbEthernet);
    rgEthProtocol->setObjectName("rgEthProtocol");
    rgEthProtocol->setGeometry(16, 84, 193, 37);
    rgEthProtocol->SetItemIndex(0);

    gbSerialPort = new QGroupBox(" Serial port settings: ", this);
    gbSerialPort->setObjectName("gbSerialPort");
    gbSerialPort->setGeometry(0, 48, 225, 129);
    LabelCOMPort = MakeLabel("LabelCOMPort", "COM Port:", gbSerialPort, 34, 28);
    EditCOM = MakeEdit("EditCOM", "1", gbSerialPort, 99, 24, 38);
    UpDownCOM = new TUpDown(EditCOM, 1, 255, gbSerialPort);
    UpDownCOM->setObjectName("UpDownCOM");
    UpDownCOM->setGeometry(137, 24, 15, 21);
    UpDownCOM->SetPosition(1);
    LabelBaudRate = MakeLabel("LabelBaudRate", "Baud rate:", gbSerialPort, 34, 60);
    cbBaudRate = new QComboBox(gbSerialPort);
    cbBaudRate->setObjectName("cbBaudRate");
    cbBaudRate->setEditable(false);
    cbBaudRate->setGeometry(99, 56, 69, 21);
    for (const char* item : BaudRateItems)
        cbBaudRate->addItem(item);
    cbBaudRate->setCurrentIndex(DefaultBaudRateItem);
    Label34 = MakeLabel("Label34", "bps", gbSerialPort, 171, 60);
    sbSerialAdvanced =
        MakeFlatButton("sbSerialAdvanced", "Advanced options", QStyle::SP_FileDialogDetailedView,
                       gbSerialPort, QRect(48, 88, 121, 25));

    sbApply = MakeFlatButton("sbApply", "Apply", QStyle::SP_DialogApplyButton, this, QRect(72, 184, 73, 25));
    sbApply->setToolTip("Apply settings");
    sbApply->installEventFilter(this);
    sbCancel =
        MakeFlatButton("sbCancel", "Cancel", QStyle::SP_DialogCancelButton, this, QRect(152, 184, 65, 25));
    sbCancel->setToolTip("Cancel settings");
    sbCancel->installEventFilter(this);

    // Sized to its contents: the boxes end at 225, the buttons at 209.
    setFixedSize(225, 209);

    rgConnection->OnClick = [this] { rgConnectionClick(); };
    connect(sbSerialAdvanced, &QToolButton::clicked, this,
            [this] { platform::RunGuarded([this] { sbSerialAdvancedClick(); }); });
    connect(sbApply, &QToolButton::clicked, this,
            [this] { platform::RunGuarded([this] { sbApplyClick(); }); });
    connect(sbCancel, &QToolButton::clicked, this,
            [this] { platform::RunGuarded([this] { sbCancelClick(); }); });

    // Only the box of the selected link shows, from the first showing on.
    rgConnectionClick();
}

void TConnectionForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (!e->spontaneous()) platform::RunGuarded([this] { FormShow(); });
}

void TConnectionForm::keyPressEvent(QKeyEvent* e) {
    if (!SwallowDialogKeys(e)) QDialog::keyPressEvent(e);
}

bool TConnectionForm::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::ToolTip) return true;
    return QDialog::eventFilter(watched, e);
}

void TConnectionForm::Edit(settings::LinkSettings* link, TCustomComPort* port) {
    FLink = link;
    FComPort = port;
}

void TConnectionForm::FormShow() {
    if (FLink != nullptr) {
        rgConnection->SetItemIndex(FLink->Kind);
        rgEthProtocol->SetItemIndex(FLink->Protocol);
        ShowWhole(EditIP, IpTypingLimit, platform::ToQString(FLink->Host));
        ShowWhole(EditPort, PortTypingLimit, QString::number(FLink->Port));
    }
    GetCOMPortSettings();
}

void TConnectionForm::rgConnectionClick() {
    const int index = rgConnection->ItemIndex();
    gbSerialPort->setVisible(index == 0);
    gbEthernet->setVisible(index == 1);
}

void TConnectionForm::GetCOMPortSettings() {
    if (FComPort == nullptr) return;
    std::string name = FComPort->Port();
    if (const auto at = name.find("COM"); at != std::string::npos) name.erase(at, 3);
    EditCOM->setText(platform::ToQString(name));
    const QString rate = platform::ToQString(BaudRateToText(FComPort->BaudRate()));
    int index = DefaultBaudRateItem;
    for (int i = 0; i < cbBaudRate->count(); ++i)
        if (cbBaudRate->itemText(i) == rate) {
            index = i;
            break;
        }
    cbBaudRate->setCurrentIndex(index);
}

void TConnectionForm::sbSerialAdvancedClick() {
    if (FComPort == nullptr) return;
    try {
        FComPort->ShowSettingsDialog();
    } catch (...) {
        // Whatever the dialog applied before failing stays in force.
    }
    if (SerialSetupApplied) GetCOMPortSettings();
}

void TConnectionForm::sbApplyClick() {
    if (FLink != nullptr) {
        FLink->Kind = static_cast<std::uint8_t>(rgConnection->ItemIndex());
        FLink->Protocol = static_cast<std::uint8_t>(rgEthProtocol->ItemIndex());
        FLink->Host = platform::FromQString(EditIP->text());
        FLink->Port = TextToIntDef(platform::FromQString(EditPort->text()), 1001);
    }
    if (FComPort != nullptr) {
        // A number is a port number; a device path chosen in the advanced
        // dialog is kept as it is.
        const std::string com = platform::FromQString(EditCOM->text());
        FComPort->SetPort(IsWholeNumber(com) ? "COM" + com : com);
        FComPort->SetBaudRate(TextToBaudRate(platform::FromQString(cbBaudRate->currentText())));
    }
    if (OnButtonClick) OnButtonClick();
    done(2);
}

void TConnectionForm::sbCancelClick() {
    if (OnButtonClick) OnButtonClick();
    done(2);
}

// ---------------------------------------------------------------------------

namespace {
// The dialog has no owner window: the main window may be gone before the end.
QPointer<TConnectionForm> FormGuard;
} // namespace

void CreateConnectionForm() {
    if (ConnectionForm != nullptr) return;
    ConnectionForm = new TConnectionForm;
    FormGuard = ConnectionForm;
}

void DestroyConnectionForm() {
    delete FormGuard.data();
    ConnectionForm = nullptr;
}

void ShowConnectionDialog(settings::LinkSettings& link, TCustomComPort* port,
                          std::function<void()> onButton) {
    if (ConnectionForm == nullptr) CreateConnectionForm();
    ConnectionForm->Edit(&link, port);
    ConnectionForm->OnButtonClick = std::move(onButton);
    ConnectionForm->exec();
    // The port may go before the dialog, which lives to the end of the program.
    if (ConnectionForm == nullptr) return;
    ConnectionForm->Edit(nullptr, nullptr);
    ConnectionForm->OnButtonClick = nullptr;
}
