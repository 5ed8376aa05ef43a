// Storing and restoring the port's settings in a profile (INI) file.
#include "CPort.h"

#include "platform/IniFile.h"

#include <exception>
#include <stdexcept>

namespace {

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "0x"/"0X" and hexadecimal digits (the 32 bits as written, so 0xFFFFFFFF is
// -1), or a signed decimal number; nothing else.
bool ParseIniInteger(const std::string& text, std::int32_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint64_t v = 0;
        for (std::size_t i = 2; i < text.size(); ++i) {
            int d = DigitValue(text[i]);
            if (d < 0) return false;
            v = v * 16 + static_cast<std::uint64_t>(d);
            if (v > 0xFFFFFFFFull) return false;
        }
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        return true;
    }
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i >= text.size()) return false;
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
        if (v > (std::int64_t{1} << 32)) return false;
    }
    if (negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

// Reads and writes one section with the text forms of the settings.
class Section {
public:
    Section(platform::TIniFile& ini, std::string name) : FIni(ini), FName(std::move(name)) {}

    void Write(const char* key, const std::string& value) { FIni.WriteString(FName, key, value); }
    void WriteInt(const char* key, std::int32_t value) { Write(key, std::to_string(value)); }

    std::string Read(const char* key, const std::string& def) { return FIni.ReadString(FName, key, def); }
    std::int32_t ReadInt(const char* key, std::int32_t def) {
        std::int32_t v = def;
        return ParseIniInteger(Read(key, std::to_string(def)), v) ? v : def;
    }
    bool ReadBool(const char* key, bool current) { return TextToYesNo(Read(key, YesNoText(current))); }
    char ReadChar(const char* key, char current) { return TextToChar(Read(key, CharToText(current))); }

private:
    platform::TIniFile& FIni;
    std::string FName;
};

} // namespace

void TCustomComPort::WriteIniSettings(platform::TIniFile& IniFile) {
    Section s(IniFile, FName);
    if (FSavedGroups.Contains(sgBasic)) {
        s.Write("Port", FPort);
        s.Write("BaudRate", BaudRateToText(FBaudRate));
        if (FBaudRate == brCustom) s.WriteInt("CustomBaudRate", FCustomBaudRate);
        s.Write("StopBits", StopBitsToText(FStopBits));
        s.Write("DataBits", DataBitsToText(FDataBits));
        s.Write("Parity", ParityToText(FParity.Bits()));
        s.Write("FlowControl", FlowControlToText(FFlowControl.FlowControl()));
    }
    if (FSavedGroups.Contains(sgOthers)) {
        s.Write("EventChar", CharToText(FEventChar));
        s.Write("DiscardNull", YesNoText(FDiscardNull));
    }
    if (FSavedGroups.Contains(sgParity)) {
        s.Write("Parity.Check", YesNoText(FParity.Check()));
        s.Write("Parity.Replace", YesNoText(FParity.Replace()));
        s.Write("Parity.ReplaceChar", CharToText(FParity.ReplaceChar()));
    }
    if (FSavedGroups.Contains(sgBuffer)) {
        s.WriteInt("Buffer.OutputSize", FBuffer.OutputSize());
        s.WriteInt("Buffer.InputSize", FBuffer.InputSize());
    }
    if (FSavedGroups.Contains(sgTimeouts)) {
        s.WriteInt("Timeouts.ReadInterval", FTimeouts.ReadInterval());
        s.WriteInt("Timeouts.ReadTotalConstant", FTimeouts.ReadTotalConstant());
        s.WriteInt("Timeouts.ReadTotalMultiplier", FTimeouts.ReadTotalMultiplier());
        s.WriteInt("Timeouts.WriteTotalConstant", FTimeouts.WriteTotalConstant());
        s.WriteInt("Timeouts.WriteTotalMultiplier", FTimeouts.WriteTotalMultiplier());
    }
    if (FSavedGroups.Contains(sgFlowControl)) {
        s.Write("FlowControl.ControlRTS", RTSControlToText(FFlowControl.ControlRTS()));
        s.Write("FlowControl.ControlDTR", DTRControlToText(FFlowControl.ControlDTR()));
        s.Write("FlowControl.DSRSensitivity", YesNoText(FFlowControl.DSRSensitivity()));
        s.Write("FlowControl.OutCTSFlow", YesNoText(FFlowControl.OutCTSFlow()));
        s.Write("FlowControl.OutDSRFlow", YesNoText(FFlowControl.OutDSRFlow()));
        s.Write("FlowControl.TxContinueOnXoff", YesNoText(FFlowControl.TxContinueOnXoff()));
        s.Write("FlowControl.XonXoffIn", YesNoText(FFlowControl.XonXoffIn()));
        s.Write("FlowControl.XonXoffOut", YesNoText(FFlowControl.XonXoffOut()));
        s.Write("FlowControl.XoffChar", CharToText(FFlowControl.XoffChar()));
        s.Write("FlowControl.XonChar", CharToText(FFlowControl.XonChar()));
    }
}

void TCustomComPort::ReadIniSettings(platform::TIniFile& IniFile) {
    Section s(IniFile, FName);
    // A missing key reads as the current value's text, so it changes nothing.
    if (FSavedGroups.Contains(sgBasic)) {
        SetPort(s.Read("Port", FPort));
        SetBaudRate(TextToBaudRate(s.Read("BaudRate", BaudRateToText(FBaudRate))));
        if (FBaudRate == brCustom) SetCustomBaudRate(s.ReadInt("CustomBaudRate", 9600));
        SetStopBits(TextToStopBits(s.Read("StopBits", StopBitsToText(FStopBits))));
        SetDataBits(TextToDataBits(s.Read("DataBits", DataBitsToText(FDataBits))));
        FParity.SetBits(TextToParity(s.Read("Parity", ParityToText(FParity.Bits()))));
        FFlowControl.SetFlowControl(
            TextToFlowControl(s.Read("FlowControl", FlowControlToText(FFlowControl.FlowControl()))));
    }
    if (FSavedGroups.Contains(sgOthers)) {
        SetEventChar(s.ReadChar("EventChar", FEventChar));
        SetDiscardNull(s.ReadBool("DiscardNull", FDiscardNull));
    }
    if (FSavedGroups.Contains(sgParity)) {
        FParity.SetCheck(s.ReadBool("Parity.Check", FParity.Check()));
        FParity.SetReplace(s.ReadBool("Parity.Replace", FParity.Replace()));
        FParity.SetReplaceChar(s.ReadChar("Parity.ReplaceChar", FParity.ReplaceChar()));
    }
    if (FSavedGroups.Contains(sgBuffer)) {
        FBuffer.SetOutputSize(s.ReadInt("Buffer.OutputSize", FBuffer.OutputSize()));
        FBuffer.SetInputSize(s.ReadInt("Buffer.InputSize", FBuffer.InputSize()));
    }
    if (FSavedGroups.Contains(sgTimeouts)) {
        FTimeouts.SetReadInterval(s.ReadInt("Timeouts.ReadInterval", FTimeouts.ReadInterval()));
        FTimeouts.SetReadTotalConstant(
            s.ReadInt("Timeouts.ReadTotalConstant", FTimeouts.ReadTotalConstant()));
        FTimeouts.SetReadTotalMultiplier(
            s.ReadInt("Timeouts.ReadTotalMultiplier", FTimeouts.ReadTotalMultiplier()));
        FTimeouts.SetWriteTotalConstant(
            s.ReadInt("Timeouts.WriteTotalConstant", FTimeouts.WriteTotalConstant()));
        FTimeouts.SetWriteTotalMultiplier(
            s.ReadInt("Timeouts.WriteTotalMultiplier", FTimeouts.WriteTotalMultiplier()));
    }
    if (FSavedGroups.Contains(sgFlowControl)) {
        // Read after the basic "FlowControl" kind, so these override it.
        TComFlowControl& f = FFlowControl;
        f.SetControlRTS(TextToRTSControl(s.Read("FlowControl.ControlRTS", RTSControlToText(f.ControlRTS()))));
        f.SetControlDTR(TextToDTRControl(s.Read("FlowControl.ControlDTR", DTRControlToText(f.ControlDTR()))));
        f.SetDSRSensitivity(s.ReadBool("FlowControl.DSRSensitivity", f.DSRSensitivity()));
        f.SetOutCTSFlow(s.ReadBool("FlowControl.OutCTSFlow", f.OutCTSFlow()));
        f.SetOutDSRFlow(s.ReadBool("FlowControl.OutDSRFlow", f.OutDSRFlow()));
        f.SetTxContinueOnXoff(s.ReadBool("FlowControl.TxContinueOnXoff", f.TxContinueOnXoff()));
        f.SetXonXoffIn(s.ReadBool("FlowControl.XonXoffIn", f.XonXoffIn()));
        f.SetXonXoffOut(s.ReadBool("FlowControl.XonXoffOut", f.XonXoffOut()));
        f.SetXoffChar(s.ReadChar("FlowControl.XoffChar", f.XoffChar()));
        f.SetXonChar(s.ReadChar("FlowControl.XonChar", f.XonChar()));
    }
}

// This program keeps its settings in files only.
void TCustomComPort::WriteRegistrySettings(const std::string&) {
    throw std::runtime_error("No registry on this system");
}
void TCustomComPort::ReadRegistrySettings(const std::string&) {
    throw std::runtime_error("No registry on this system");
}

void TCustomComPort::SaveSettings(SettingsStore StoreType, const std::string& StoreTo) {
    try {
        if (StoreType == ssRegistry) {
            WriteRegistrySettings(StoreTo);
        } else {
            // The file is read once and written once, however many keys.
            platform::TIniFile ini(StoreTo, platform::TIniFile::Mode::Batched);
            bool failed = false;
            try {
                WriteIniSettings(ini);
            } catch (...) {
                failed = true;
            }
            // Keys written before a failure are kept all the same.
            ini.UpdateFile();
            if (failed) throw EComPort(16);
        }
    } catch (...) {
        throw EComPort(16);
    }
}

void TCustomComPort::RestoreSettings(SettingsStore StoreType, const std::string& StoreFrom) {
    std::exception_ptr failure;
    BeginChange();
    try {
        if (StoreType == ssRegistry) {
            ReadRegistrySettings(StoreFrom);
        } else {
            platform::TIniFile ini(StoreFrom, platform::TIniFile::Mode::Batched);
            ReadIniSettings(ini);
        }
    } catch (...) {
        failure = std::current_exception();
    }
    // Closing the batch applies everything at once to an open port.
    try {
        EndChange();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (failure) throw EComPort(17);
}

std::string ComPortIniPath(const std::string& settingsDir) {
    return settingsDir + "ComPortTest.ini";
}

void RestoreComPortIni(TCustomComPort& port, const std::string& settingsDir) {
    port.SetSavedGroups(TSavedGroups{sgBasic});
    try {
        port.RestoreSettings(ssIniFile, ComPortIniPath(settingsDir));
    } catch (...) {
        // The settings the port had stay in force.
    }
}
