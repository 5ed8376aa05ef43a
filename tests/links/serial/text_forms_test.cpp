// Text forms of the serial settings and their parsers.
#include "links/serial/CPort.h"

#include <gtest/gtest.h>

namespace {

TEST(TextForms, EveryEnumerationRoundTripsThroughItsText) {
    for (int i = brCustom; i <= br256000; ++i)
        EXPECT_EQ(TextToBaudRate(BaudRateToText(static_cast<TBaudRate>(i))), i);
    for (int i = sbOneStopBit; i <= sbTwoStopBits; ++i)
        EXPECT_EQ(TextToStopBits(StopBitsToText(static_cast<TStopBits>(i))), i);
    for (int i = dbFive; i <= dbEight; ++i)
        EXPECT_EQ(TextToDataBits(DataBitsToText(static_cast<TDataBits>(i))), i);
    for (int i = prNone; i <= prSpace; ++i)
        EXPECT_EQ(TextToParity(ParityToText(static_cast<TParityBits>(i))), i);
    for (int i = fcHardware; i <= fcCustom; ++i)
        EXPECT_EQ(TextToFlowControl(FlowControlToText(static_cast<TFlowControl>(i))), i);
    for (int i = dtrDisable; i <= dtrHandshake; ++i)
        EXPECT_EQ(TextToDTRControl(DTRControlToText(static_cast<TDTRFlowControl>(i))), i);
    for (int i = rtsDisable; i <= rtsToggle; ++i)
        EXPECT_EQ(TextToRTSControl(RTSControlToText(static_cast<TRTSFlowControl>(i))), i);

    EXPECT_EQ(BaudRateToText(brCustom), "Custom");
    EXPECT_EQ(BaudRateToText(br256000), "256000");
    EXPECT_EQ(StopBitsToText(sbOne5StopBits), "1.5");
    EXPECT_EQ(FlowControlToText(fcNone), "None");
    EXPECT_EQ(RTSControlToText(rtsToggle), "Toggle");
}

TEST(TextForms, ParsersIgnoreLetterCaseButNothingElse) {
    EXPECT_EQ(TextToBaudRate("custom"), brCustom);
    EXPECT_EQ(TextToBaudRate("CuStOm"), brCustom);
    EXPECT_EQ(TextToParity("EVEN"), prEven);
    EXPECT_EQ(TextToParity("spACE"), prSpace);
    EXPECT_EQ(TextToFlowControl("hardware"), fcHardware);
    EXPECT_EQ(TextToRTSControl("TOGGLE"), rtsToggle);
    // No blanks are removed, so these find no entry.
    EXPECT_EQ(TextToParity(" Even"), prNone);
    EXPECT_EQ(TextToBaudRate("9600 "), br9600);
    EXPECT_EQ(TextToDTRControl("Enable "), dtrDisable);
    // Non-ASCII bytes are compared as they are.
    EXPECT_EQ(TextToParity("\xc3\xa9ven"), prNone);
}

TEST(TextForms, UnknownTextsFallBackPerTable) {
    EXPECT_EQ(TextToBaudRate("2000000"), br9600);
    EXPECT_EQ(TextToBaudRate("134.5"), br9600);
    EXPECT_EQ(TextToBaudRate("230400"), br9600);
    EXPECT_EQ(TextToBaudRate(""), br9600);
    EXPECT_EQ(TextToStopBits("1,5"), sbOneStopBit);
    EXPECT_EQ(TextToDataBits("9"), dbEight);
    EXPECT_EQ(TextToDataBits(""), dbEight);
    EXPECT_EQ(TextToParity("Parity"), prNone);
    EXPECT_EQ(TextToFlowControl("RTS/CTS"), fcCustom);
    EXPECT_EQ(TextToDTRControl("On"), dtrDisable);
    EXPECT_EQ(TextToRTSControl(""), rtsDisable);
}

TEST(TextForms, YesNo) {
    EXPECT_EQ(YesNoText(true), "Yes");
    EXPECT_EQ(YesNoText(false), "No");
    EXPECT_TRUE(TextToYesNo("yes"));
    EXPECT_TRUE(TextToYesNo("YES"));
    EXPECT_FALSE(TextToYesNo("True"));
    EXPECT_FALSE(TextToYesNo("1"));
    EXPECT_FALSE(TextToYesNo(""));
    EXPECT_FALSE(TextToYesNo("yes "));
}

TEST(TextForms, CharactersPrintableAsThemselvesOthersAsCodes) {
    EXPECT_EQ(CharToText(17), "#17");
    EXPECT_EQ(CharToText(0), "#0");
    EXPECT_EQ(CharToText(' '), "#32");
    EXPECT_EQ(CharToText('!'), "!");
    EXPECT_EQ(CharToText('~'), "~");
    EXPECT_EQ(CharToText(127), "\x7f");
    EXPECT_EQ(CharToText(static_cast<char>(128)), "#128");
    EXPECT_EQ(CharToText(static_cast<char>(200)), "#200");
    for (int c = 0; c < 256; ++c)
        EXPECT_EQ(TextToChar(CharToText(static_cast<char>(c))), static_cast<char>(c)) << c;
}

TEST(TextForms, CharacterParsing) {
    EXPECT_EQ(TextToChar(""), 0);
    EXPECT_EQ(TextToChar("#17"), 17);
    EXPECT_EQ(TextToChar("A"), 'A');
    EXPECT_EQ(TextToChar("AB"), 'A');
    EXPECT_EQ(TextToChar("#"), '#');
    EXPECT_EQ(TextToChar("#x"), 0);
    EXPECT_EQ(TextToChar("#17a"), 0);
    EXPECT_EQ(TextToChar("#256"), 0);
    EXPECT_EQ(TextToChar("#300"), 44);
    EXPECT_EQ(TextToChar("#-1"), static_cast<char>(255));
    EXPECT_EQ(TextToChar("#$41"), 'A');
    EXPECT_EQ(TextToChar("#99999999999"), 0); // outside 32 bits: not a number
}

} // namespace
