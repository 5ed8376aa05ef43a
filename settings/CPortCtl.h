#pragma once
// Drop-down lists bound to one setting of a serial port: they list the
// setting's text forms, show the port's current value and write the chosen
// one back on demand.
#include <QComboBox>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "links/serial/CPort.h"

enum TComProperty : std::uint8_t {
    cpNone,
    cpPort,
    cpBaudRate,
    cpDataBits,
    cpStopBits,
    cpParity,
    cpFlowControl
};

// The entries a list bound to `property` offers (the port list reads the system).
std::vector<std::string> ComPropertyItems(TComProperty property);

// Do two port names speak of the same device ("COM1" and "/dev/ttyS0")?
bool SamePortDevice(const std::string& a, const std::string& b);

// The value of entry `index`: its data where it has some (a stable port name
// shown with the device it points to), else its text.
std::string ComItemValue(const QComboBox& items, int index);

// The value a list remembers between the user's choice and ApplyToPort.
class TComSelect {
public:
    explicit TComSelect(QComboBox* items) : FItems(items) {}

    TComProperty ComProperty() const { return FComProperty; }
    // Stores the property and replaces the entries with its text forms.
    void FillItems(TComProperty Value);

    TCustomComPort* ComPort() const { return FComPort; }
    void SetComPort(TCustomComPort* Value) { FComPort = Value; }
    bool AutoApply() const { return FAutoApply; }
    void SetAutoApply(bool Value) { FAutoApply = Value; }

    // The user picked the entry `Str`.
    void SelectText(const std::string& Str);
    // The entry that shows the port's current value (-1: none matches), or
    // nothing when no port is bound or no property chosen: then the list's
    // selection stays as it is.
    std::optional<int> RefreshFromPort();
    void ApplyToPort();

    // Remembered values; only the one of the bound property is used.
    const std::string& Port() const { return FPort; }
    TBaudRate BaudRate() const { return FBaudRate; }
    TDataBits DataBits() const { return FDataBits; }
    TStopBits StopBits() const { return FStopBits; }
    TParityBits Parity() const { return FParity; }
    TFlowControl FlowControl() const { return FFlowControl; }

private:
    std::string CurrentText() const;
    void Remember(const std::string& Str);

    std::string FPort;
    TBaudRate FBaudRate = brCustom;
    TDataBits FDataBits = dbFive;
    TStopBits FStopBits = sbOneStopBit;
    TParityBits FParity = prNone;
    TFlowControl FFlowControl = fcHardware;
    QComboBox* FItems;
    TComProperty FComProperty = cpNone;
    TCustomComPort* FComPort = nullptr;
    bool FAutoApply = false;
};

class TComComboBox : public QComboBox {
public:
    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;
    TComComboBox(const TComComboBox&) = delete;
    TComComboBox& operator=(const TComComboBox&) = delete;

    TCustomComPort* ComPort() const { return FComSelect->ComPort(); }
    // Binding another port refreshes the selection; nullptr only unbinds.
    void SetComPort(TCustomComPort* Value);
    TComProperty ComProperty() const { return FComSelect->ComProperty(); }
    // Fills the entries, then selects entry 0 (no port) or the port's value.
    void SetComProperty(TComProperty Value);
    bool AutoApply() const { return FComSelect->AutoApply(); }
    void SetAutoApply(bool Value) { FComSelect->SetAutoApply(Value); }
    // The selected entry's value (its text, or the port name it shows), "" when nothing is selected.
    std::string Text() const;
    // Selects the entry equal to Value without regard to case; no entry, no change.
    void SetText(const std::string& Value);

    void RefreshFromPort();
    void ApplyToPort();
    // The bound port is going away: forget it.
    void PortRemoved(TCustomComPort* Port);

    const TComSelect& Select() const { return *FComSelect; }

    // Raised after the user picked an entry and it was remembered.
    std::function<void()> OnChange;

private:
    void Change(int index);
    TComSelect* FComSelect;
};
