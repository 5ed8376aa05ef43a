#include "CPortCtl.h"

#include <filesystem>
#include <system_error>

#include "platform/Text.h"
#include "platform/WinSerial.h"

namespace {

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    return true;
}

// The device a port name opens, with symbolic links (by-id names and the
// like) followed where the file exists.
std::string ResolvedDevice(const std::string& name) {
    std::filesystem::path path(platform::SerialDevicePath(name));
    std::error_code ec;
    auto canonical = std::filesystem::weakly_canonical(path, ec);
    return ec ? path.string() : canonical.string();
}

} // namespace

std::vector<std::string> ComPropertyItems(TComProperty property) {
    std::vector<std::string> items;
    switch (property) {
    case cpNone:
        break;
    case cpPort:
        ListSerialPorts(items);
        break;
    case cpBaudRate:
        for (int i = brCustom; i <= br256000; ++i)
            items.push_back(BaudRateToText(static_cast<TBaudRate>(i)));
        break;
    case cpDataBits:
        for (int i = dbFive; i <= dbEight; ++i)
            items.push_back(DataBitsToText(static_cast<TDataBits>(i)));
        break;
    case cpStopBits:
        for (int i = sbOneStopBit; i <= sbTwoStopBits; ++i)
            items.push_back(StopBitsToText(static_cast<TStopBits>(i)));
        break;
    case cpParity:
        for (int i = prNone; i <= prSpace; ++i)
            items.push_back(ParityToText(static_cast<TParityBits>(i)));
        break;
    case cpFlowControl:
        for (int i = fcHardware; i <= fcCustom; ++i)
            items.push_back(FlowControlToText(static_cast<TFlowControl>(i)));
        break;
    }
    return items;
}

bool SamePortDevice(const std::string& a, const std::string& b) {
    if (SameTextIgnoringCase(a, b)) return true;
    if (a.empty() || b.empty()) return false;
    return ResolvedDevice(a) == ResolvedDevice(b);
}

// ---------------------------------------------------------------------------
// TComSelect

std::string ComItemValue(const QComboBox& items, int index) {
    const QVariant data = items.itemData(index);
    return platform::FromQString(data.isValid() ? data.toString() : items.itemText(index));
}

void TComSelect::FillItems(TComProperty Value) {
    FComProperty = Value;
    FItems->clear();
    if (Value == cpPort) {
        // A stable name shows the device it points to; choosing it stores the name.
        for (const TSerialPortEntry& port : SerialPortEntries())
            FItems->addItem(
                platform::ToQString(port.Device.empty() ? port.Name : port.Name + " \u2192 " + port.Device),
                platform::ToQString(port.Name));
        return;
    }
    for (const std::string& item : ComPropertyItems(Value))
        FItems->addItem(platform::ToQString(item));
}

std::string TComSelect::CurrentText() const {
    switch (FComProperty) {
    case cpPort:
        return FComPort->Port();
    case cpBaudRate:
        return BaudRateToText(FComPort->BaudRate());
    case cpDataBits:
        return DataBitsToText(FComPort->DataBits());
    case cpStopBits:
        return StopBitsToText(FComPort->StopBits());
    case cpParity:
        return ParityToText(FComPort->Parity().Bits());
    case cpFlowControl:
        return FlowControlToText(FComPort->FlowControl().FlowControl());
    case cpNone:
        break;
    }
    return {};
}

void TComSelect::Remember(const std::string& Str) {
    switch (FComProperty) {
    case cpPort:
        FPort = Str;
        break;
    case cpBaudRate:
        FBaudRate = TextToBaudRate(Str);
        break;
    case cpDataBits:
        FDataBits = TextToDataBits(Str);
        break;
    case cpStopBits:
        FStopBits = TextToStopBits(Str);
        break;
    case cpParity:
        FParity = TextToParity(Str);
        break;
    case cpFlowControl:
        FFlowControl = TextToFlowControl(Str);
        break;
    case cpNone:
        break;
    }
}

void TComSelect::SelectText(const std::string& Str) {
    Remember(Str);
    if (FAutoApply) ApplyToPort();
}

std::optional<int> TComSelect::RefreshFromPort() {
    if (FComPort == nullptr || FComProperty == cpNone) return std::nullopt;
    const std::string current = CurrentText();
    const int count = FItems->count();
    int found = -1;
    for (int i = 0; i < count && found < 0; ++i)
        if (SameTextIgnoringCase(ComItemValue(*FItems, i), current)) found = i;
    if (found >= 0) {
        Remember(ComItemValue(*FItems, found));
    } else if (FComProperty == cpPort) {
        // The system lists device paths while the port may be named "COMn":
        // the entry that opens the same device is the port's entry, and the
        // port keeps its own spelling unless the user picks another.
        for (int i = 0; i < count && found < 0; ++i)
            if (SamePortDevice(ComItemValue(*FItems, i), current)) found = i;
        if (found >= 0) Remember(current);
    }
    return found;
}

void TComSelect::ApplyToPort() {
    if (FComPort == nullptr) return;
    switch (FComProperty) {
    case cpPort:
        // Nothing chosen (the port is not among the listed ones) keeps the
        // port's name; a picked entry is stored as picked (a stable name too).
        if (!FPort.empty()) FComPort->SetPort(FPort);
        break;
    case cpBaudRate:
        FComPort->SetBaudRate(FBaudRate);
        break;
    case cpDataBits:
        FComPort->SetDataBits(FDataBits);
        break;
    case cpStopBits:
        FComPort->SetStopBits(FStopBits);
        break;
    case cpParity:
        FComPort->Parity().SetBits(FParity);
        break;
    case cpFlowControl:
        FComPort->FlowControl().SetFlowControl(FFlowControl);
        break;
    case cpNone:
        break;
    }
}

// ---------------------------------------------------------------------------
// TComComboBox

TComComboBox::TComComboBox(QWidget* parent) : QComboBox(parent), FComSelect(new TComSelect(this)) {
    setEditable(false);
    connect(this, &QComboBox::activated, this, [this](int index) { Change(index); });
}

TComComboBox::~TComComboBox() {
    delete FComSelect;
}

void TComComboBox::SetComPort(TCustomComPort* Value) {
    if (Value == FComSelect->ComPort()) return;
    FComSelect->SetComPort(Value);
    if (Value != nullptr) RefreshFromPort();
}

void TComComboBox::SetComProperty(TComProperty Value) {
    FComSelect->FillItems(Value);
    if (count() == 0) return;
    if (FComSelect->ComPort() == nullptr)
        setCurrentIndex(0);
    else
        RefreshFromPort();
}

std::string TComComboBox::Text() const {
    if (currentIndex() < 0) return {};
    return ComItemValue(*this, currentIndex());
}

void TComComboBox::SetText(const std::string& Value) {
    for (int i = 0; i < count(); ++i)
        if (SameTextIgnoringCase(ComItemValue(*this, i), Value)) {
            setCurrentIndex(i);
            return;
        }
}

void TComComboBox::RefreshFromPort() {
    if (const std::optional<int> index = FComSelect->RefreshFromPort()) setCurrentIndex(*index);
}

void TComComboBox::ApplyToPort() {
    FComSelect->ApplyToPort();
}

void TComComboBox::PortRemoved(TCustomComPort* Port) {
    if (Port == nullptr || Port != FComSelect->ComPort()) return;
    FComSelect->SetComPort(nullptr);
    if (count() > 0) setCurrentIndex(0);
}

void TComComboBox::Change(int index) {
    if (index >= 0) FComSelect->SelectText(ComItemValue(*this, index));
    if (OnChange) OnChange();
}
