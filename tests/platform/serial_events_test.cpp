// Events, waits, overlapped results and port names: the backend-independent part.
#include "platform/WinSerial.h"

#include <gtest/gtest.h>

#include <thread>

using namespace platform;

TEST(SerialNames, PortNamesMapToDevicePaths) {
    EXPECT_EQ(SerialDevicePath("\\\\.\\COM1"), "/dev/ttyS0");
    EXPECT_EQ(SerialDevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(SerialDevicePath("\\\\.\\/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(SerialDevicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialDevicePath("COM0"), "/dev/COM0"); // there is no port before the first
    EXPECT_EQ(SerialDevicePath("COMX"), "/dev/COMX");
}

TEST(SerialEvents, ManualAndAutoResetSemantics) {
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE autoReset = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0); // stays signalled
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(autoReset));
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_TIMEOUT); // taken by the first waiter

    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(autoReset));
    EXPECT_FALSE(CloseHandle(manual));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
}

TEST(SerialEvents, MultipleWaitGivesLowestSignalledIndexAndWakesFromAnotherThread) {
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE io = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE list[2] = {stop, io};
    EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, 10), WAIT_TIMEOUT);

    std::thread setter([&] { SetEvent(io); });
    EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
    SetEvent(stop);
    EXPECT_EQ(WaitForMultipleObjects(2, list, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 0), WAIT_OBJECT_0);
    ResetEvent(io);
    EXPECT_EQ(WaitForMultipleObjects(2, list, TRUE, 0), WAIT_TIMEOUT);
    CloseHandle(stop);
    CloseHandle(io);
}

TEST(SerialEvents, DeviceCallsOnBadHandlesFailCleanly) {
    DWORD n = 0;
    char buf[4];
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buf, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(WriteFile(e, buf, 4, &n, nullptr)); // an event is not a device
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(e);
}
