// The private driver client on Win32's own registry, events and threads (Windows and Wine
// only). The keys are written here with this file's own literals, through the 32-bit view
// the driver writes them in. No kernel-streaming device exists here: a plain file stands
// in for the device file, which opens but answers no property request.

#include "midi/PrivateDriverRegistry.h"
#include "midi/PrivateMidiDevice.h"
#include "midi/Win32PrivateDriverSystem.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>

namespace
{
const std::string orbantaKey = "Software\\Orbanta";
const std::string classKey = "Software\\Orbanta\\Audio\\Drivers\\{B6A79381-D9FB-416B-A521-ACD72DDD413B}\\";

void writeValue (const std::string& keyPath, const char* valueName, DWORD type, std::vector<BYTE> data, REGSAM view = KEY_WOW64_32KEY)
{
    HKEY key = nullptr;
    ASSERT_EQ (RegCreateKeyExA (HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr), ERROR_SUCCESS) << keyPath;

    if (type != REG_NONE)
    {
        EXPECT_EQ (RegSetValueExA (key, valueName, 0, type, data.data(), (DWORD) data.size()), ERROR_SUCCESS);
    }

    RegCloseKey (key);
}

void writeKey (const std::string& keyPath, REGSAM view = KEY_WOW64_32KEY)
{
    writeValue (keyPath, nullptr, REG_NONE, {}, view);
}

void deleteOurKeys()
{
    for (auto view : { KEY_WOW64_32KEY, KEY_WOW64_64KEY })
    {
        HKEY software = nullptr;

        if (RegOpenKeyExA (HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS | view, &software) == ERROR_SUCCESS)
        {
            RegDeleteTreeA (software, "Orbanta");
            RegCloseKey (software);
        }
    }
}

/** Hears the device object's reports, on whichever thread makes them. */
struct Reports final : public OrbantaDeviceAttachedStateCallbackReceiver
{
    void deviceAttachedStateChanged (bool attached, PrivateMidiDevice&) override
    {
        const std::lock_guard<std::mutex> guard (mutex);
        heard.push_back (attached);
    }

    bool waitForLast (bool attached, int timeoutMs = 5000)
    {
        for (int waited = 0; waited < timeoutMs; waited += 10)
        {
            {
                const std::lock_guard<std::mutex> guard (mutex);

                if (! heard.empty() && heard.back() == attached)
                    return true;
            }

            Sleep (10);
        }

        return false;
    }

    std::mutex mutex;
    std::vector<bool> heard;
};

class Win32PrivateDriverTest : public ::testing::Test
{
protected:
    void SetUp() override { deleteOurKeys(); }
    void TearDown() override { deleteOurKeys(); }

    std::vector<PrivateDeviceDescriptor> enumerate()
    {
        std::vector<PrivateDeviceDescriptor> devices (16);
        int stored = 0, total = 0;
        PrivateDriverRegistry::enumeratePrivateDevices (*system, devices.data(), 16, stored, total);
        devices.resize ((size_t) stored);
        return devices;
    }

    PrivateDriverSystem::Ptr system = new Win32PrivateDriverSystem();
};
} // namespace

TEST_F (Win32PrivateDriverTest, EnumerationReadsTheDriversKeysThroughThe32BitViewAndKeepsTheNameRules)
{
    const auto driver = classKey + "0102030444332211D0C0B0A0DECAFBAD\\Instances\\";
    writeValue (driver + "0123456789ABCDEF0123456789ABCDEF\\Attached", nullptr, REG_BINARY, { 0x00, 0x01 });
    writeValue (driver + "0123456789abcdef0123456789abcdee\\Attached", nullptr, REG_BINARY, { 0x01, 0x00 });
    writeValue (driver + "0123456789ABCDEF0123456789ABCDED\\Attached", nullptr, REG_DWORD, { 0x01, 0x01, 0x01, 0x01 });
    writeKey (driver + "0123456789ABCDEF");
    writeValue (classKey + "0102030444332211D0C0B0A0decafbad\\Instances\\0123456789ABCDEF0123456789ABCDEF\\Attached", nullptr, REG_BINARY, { 0x01 });

    // The same layout in the 64-bit view is not the driver's.
    writeValue (classKey + "0102030401000000020000FFDECAFBAD\\Instances\\FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF\\Attached", nullptr, REG_BINARY, { 0x01 }, KEY_WOW64_64KEY);

    const auto devices = enumerate();
    ASSERT_EQ (devices.size(), 3u);

    for (auto& d : devices)
    {
        EXPECT_EQ (d.keyWord1, 0x11223344u);
        EXPECT_EQ (d.keyWord2, 0xA0B0C0D0u);
        EXPECT_EQ (d.instanceId[7], 0xEF);
    }

    // Registry order: upper-case names sort like lower-case ones.
    EXPECT_EQ (devices[0].instanceId[15], 0xED);
    EXPECT_EQ (devices[0].attached, 0); // not binary
    EXPECT_EQ (devices[1].instanceId[15], 0xEE);
    EXPECT_EQ (devices[1].attached, 0); // last byte 0
    EXPECT_EQ (devices[2].instanceId[15], 0xEF);
    EXPECT_EQ (devices[2].attached, 1);

    PrivateDeviceDescriptor found;
    ASSERT_EQ (PrivateDriverRegistry::findAttachedPrivateDevice (*system, found, {}), PrivateDriverRegistry::found);
    EXPECT_EQ (found.instanceId, devices[2].instanceId);
}

TEST_F (Win32PrivateDriverTest, TheWatcherFollowsTheAttachedFlagAndTheDeviceFileIsSharedWithNobody)
{
    char folder[MAX_PATH] = {};
    GetTempPathA (MAX_PATH, folder);
    const auto devicePath = std::string (folder) + "morelta-private-device.bin";
    const auto file = CreateFileA (devicePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE (file, INVALID_HANDLE_VALUE);
    CloseHandle (file);

    const auto instance = classKey + "0102030444332211D0C0B0A0DECAFBAD\\Instances\\0123456789ABCDEF0123456789ABCDEF";
    writeValue (instance, "LastPath", REG_SZ, std::vector<BYTE> (devicePath.begin(), devicePath.end() + 1));
    writeValue (instance + "\\Attached", nullptr, REG_BINARY, { 0x00 });
    const auto descriptor = enumerate().at (0);

    auto othersCanOpen = [&]
    {
        const auto other = CreateFileA (devicePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);

        if (other == INVALID_HANDLE_VALUE)
            return GetLastError() != ERROR_SHARING_VIOLATION;

        CloseHandle (other);
        return true;
    };

    {
        Reports reports;
        PrivateMidiDevice device (*system, descriptor);
        device.setReceiver (&reports);
        EXPECT_TRUE (reports.waitForLast (false));
        EXPECT_FALSE (device.open());

        writeValue (instance + "\\Attached", nullptr, REG_BINARY, { 0x01 });
        ASSERT_TRUE (reports.waitForLast (true));
        ASSERT_TRUE (device.open());
        EXPECT_FALSE (othersCanOpen());

        // A plain file answers no kernel-streaming request.
        juce::uint32 count = 0;
        EXPECT_FALSE (device.getProperty (PrivateMidiDevice::capturePortCount, count));

        writeValue (instance + "\\Attached", nullptr, REG_BINARY, {});
        ASSERT_TRUE (reports.waitForLast (false));
        EXPECT_FALSE (device.isOpen());
        EXPECT_TRUE (othersCanOpen());

        device.setReceiver (nullptr);
    }

    EXPECT_EQ (system->getNumSlowThreadStops(), 0);
    DeleteFileA (devicePath.c_str());
}
