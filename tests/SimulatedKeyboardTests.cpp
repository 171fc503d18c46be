#include "KeyboardTestHelpers.h"
#include "midi/PrivateDriverRegistry.h"
#include "midi/PrivateMidiInput.h"

#include <gtest/gtest.h>

using test::Bytes;

namespace
{
const Bytes identityRequest { 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7 };
const int globalIds[] = { 0x12, 0x13, 0x14, 0x15, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1F, 0x20, 0x1D, 0x22, 0x1E };

Bytes globalRequest (juce::uint8 code, int id) { return { 0xF0, 0x47, 0x00, code, 0x04, 0x02, 0x00, 0x01, (juce::uint8) id, 0xF7 }; }
Bytes presetSelect (juce::uint8 code, int n) { return { 0xF0, 0x47, 0x00, code, 0x04, 0x01, 0x00, 0x05, 0x03, 0x40, 0x00, 0x00, (juce::uint8) n, 0xF7 }; }
Bytes presetDumpRequest (juce::uint8 code) { return { 0xF0, 0x47, 0x00, code, 0x04, 0x01, 0x00, 0x05, 0x25, 0x40, 0x00, 0x00, 0x05, 0xF7 }; }
Bytes presetEnd (juce::uint8 code) { return { 0xF0, 0x47, 0x00, code, 0x04, 0x08, 0x00, 0x00, 0xF7 }; }
Bytes enterUpdateMode (juce::uint8 code) { return { 0xF0, 0x47, 0x00, code, 0x06, 0x00, 0x00, 0x01, 0x00, 0xF7 }; }

Bytes globalReply (juce::uint8 code, int id, const std::array<juce::uint8, 4>& v)
{
    return { 0xF0, 0x47, 0x00, code, 0x04, 0x02, 0x00, 0x05, (juce::uint8) id, v[0], v[1], v[2], v[3], 0xF7 };
}

Bytes presetData (juce::uint8 code, const juce::uint8* payload)
{
    Bytes m { 0xF0, 0x47, 0x00, code, 0x04, 0x07, 0x00, 0x07, 0x00, 0x05 };
    m.insert (m.end(), payload, payload + 5);
    m.push_back (0xF7);
    return m;
}

SimulatedKeyboard::Settings settingsFor (int keys, double version = 1.16)
{
    SimulatedKeyboard::Settings s;
    s.keys = keys;
    s.firmwareVersion = version;
    s.timing.updateModeEntryMs = 10;
    s.timing.rebootMs = 10;
    return s;
}

KeyboardFault fault (const char* text)
{
    auto f = KeyboardFault::parse (text);
    EXPECT_TRUE (f.has_value()) << text;
    return f.value_or (KeyboardFault {});
}

class SimulatedKeyboardTest : public ::testing::Test
{
protected:
    void start (SimulatedKeyboard::Settings s)
    {
        keyboard = std::make_unique<SimulatedKeyboard> (ports, std::move (s));
        computer = std::make_unique<test::Computer> (*ports, *keyboard);
        restarts = 0;
    }

    juce::uint8 code() const { return keyboard->getModelCode(); }

    /** Waits for the keyboard's next restart to end, then reconnects to it. Goes by the
        keyboard's own account: a short restart can fall between two looks at the list.
    */
    bool waitForRestart()
    {
        ++restarts;

        if (! test::pumpUntil ([&]
                               {
                                   const auto log = keyboard->getLog();
                                   return std::count (log.begin(), log.end(), "back") >= restarts && computer->keyboardListed(); }))
            return false;

        computer->connect();
        return true;
    }

    /** Sends both images in 1024-byte writes, as the updater does. */
    void sendFirmware()
    {
        for (auto assets : { false, true })
            for (auto& w : test::cutIntoWrites (test::makeFirmwareStream (assets), 1024))
                computer->send (w);
    }

    void sendRestore (const SimulatedKeyboard::UserData& d, const std::vector<int>& places)
    {
        for (auto& [id, value] : d.globals)
            computer->send (globalReply (code(), id, value));

        for (size_t i = 0; i < places.size(); ++i)
        {
            computer->send (presetSelect (code(), places[i]));

            for (int m = 0; m < 384; ++m)
                computer->send (presetData (code(), d.presets[i].data() + m * 5));

            computer->send (presetEnd (code()));
        }
    }

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    std::unique_ptr<SimulatedKeyboard> keyboard;
    std::unique_ptr<test::Computer> computer;
    int restarts = 0;
};
} // namespace

//==============================================================================
TEST_F (SimulatedKeyboardTest, ListsItsPortsAsTheClassDriverNamesThem)
{
    start (settingsFor (49));
    EXPECT_EQ (ports->getInputNames(), juce::StringArray ("MORELTA49", "MIDIIN2 (MORELTA49)", "MIDIIN3 (MORELTA49)"));
    EXPECT_EQ (ports->getOutputNames(), juce::StringArray ("MORELTA49", "MIDIOUT2 (MORELTA49)", "MIDIOUT3 (MORELTA49)"));

    keyboard->unplug();
    EXPECT_TRUE (ports->getInputNames().isEmpty());
    EXPECT_TRUE (ports->getOutputNames().isEmpty());
    keyboard->plug();
    EXPECT_EQ (ports->getInputNames().size(), 3);
}

TEST_F (SimulatedKeyboardTest, OnThePrivateLayoutAnswersOnlyThroughThePrivateDriversCapture)
{
    struct Capture final : public juce::MidiInputCallback
    {
        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& m) override { received.add (test::bytesOf (m)); }
        test::SharedList<Bytes> received;
    } capture;

    SimulatedPrivateDriver::Ptr driver = new SimulatedPrivateDriver();
    auto s = settingsFor (61);
    s.layout = SimulatedKeyboard::Layout::privateDriver;
    keyboard = std::make_unique<SimulatedKeyboard> (ports, s, driver);
    computer = std::make_unique<test::Computer> (*ports, *keyboard);
    EXPECT_EQ (ports->getInputNames(), juce::StringArray ("MORELTA61 USB PORT 1", "MORELTA61 USB PORT 2", "MORELTA61 USB PORT 3"));
    EXPECT_EQ (ports->getOutputNames(), ports->getInputNames());

    PrivateDeviceDescriptor device;
    ASSERT_EQ (PrivateDriverRegistry::findAttachedPrivateDevice (*driver, device, {}), PrivateDriverRegistry::found);
    auto input = PrivateMidiInput::create (driver, device, capture);

    computer->send (identityRequest);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return capture.received.size() == 1; }));
    EXPECT_EQ (capture.received.get()[0].size(), 35u);
    test::pumpFor (100);
    EXPECT_EQ (computer->received.size(), 0u); // on no listed port

    keyboard->unplug();
    EXPECT_FALSE (driver->isAttached (keyboard->getPrivateDriverInstance()));
    keyboard->plug();
    EXPECT_TRUE (driver->isAttached (keyboard->getPrivateDriverInstance()));
}

TEST_F (SimulatedKeyboardTest, AnswersTheIdentityRequestWithItsModelAndVersionOnItsThirdInput)
{
    const std::tuple<int, double, juce::uint8, Bytes> cases[] = {
        { 25, 1.15, 0x2F, { 0, 1, 1, 5 } },
        { 49, 1.16, 0x2E, { 0, 1, 1, 6 } },
        { 61, 1.25, 0x30, { 0, 1, 2, 5 } },
    };

    for (auto& [keys, version, modelCode, digits] : cases)
    {
        start (settingsFor (keys, version));
        computer->send (identityRequest);
        ASSERT_TRUE (computer->waitForMessages (1));

        const auto reply = computer->received.get()[0];
        EXPECT_EQ (reply.port, "MIDIIN3 (MORELTA" + juce::String (keys) + ")");
        ASSERT_EQ (reply.bytes.size(), 35u);
        EXPECT_EQ (Bytes (reply.bytes.begin(), reply.bytes.begin() + 7), (Bytes { 0xF0, 0x7E, 0x00, 0x06, 0x02, 0x47, modelCode }));
        EXPECT_EQ (Bytes (reply.bytes.begin() + 9, reply.bytes.begin() + 13), digits);
        EXPECT_EQ (reply.bytes.back(), 0xF7);

        computer.reset();
        keyboard.reset();
    }
}

TEST_F (SimulatedKeyboardTest, AnswersEachGlobalRequestWithItsValue)
{
    auto s = settingsFor (49);
    s.seed = 77;
    start (s);

    for (auto id : globalIds)
        computer->send (globalRequest (0x2E, id));

    ASSERT_TRUE (computer->waitForMessages (14));
    const auto data = keyboard->getUserData();
    EXPECT_EQ (data, SimulatedKeyboard::makeUserData (77));

    auto replies = computer->received.get();

    for (size_t i = 0; i < 14; ++i)
        EXPECT_EQ (replies[i].bytes, globalReply (0x2E, globalIds[i], data.globals.at (globalIds[i])));
}

TEST_F (SimulatedKeyboardTest, DumpsTheSelectedPresetAs384PresetDataMessages)
{
    start (settingsFor (25));
    computer->send (presetSelect (0x2F, 17));
    computer->send (presetDumpRequest (0x2F));
    ASSERT_TRUE (computer->waitForMessages (384));
    test::pumpFor (20);

    const auto replies = computer->received.get();
    ASSERT_EQ (replies.size(), 384u);
    const auto data = keyboard->getUserData();
    const auto& payload = data.presets[17];

    for (size_t m = 0; m < 384; ++m)
        ASSERT_EQ (replies[m].bytes, presetData (0x2F, payload.data() + m * 5)) << m;
}

TEST_F (SimulatedKeyboardTest, IgnoresMessagesForOtherModelsAndMalformedRequests)
{
    start (settingsFor (49));
    computer->send (globalRequest (0x30, 0x12));                                           // another model
    computer->send ({ 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x01, 0x12, 0x00, 0xF7 }); // length says 1, holds 2
    computer->send ({ 0xF0, 0x43, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x01, 0x12, 0xF7 });       // another maker
    computer->send ({ 0x90, 0x3C, 0x40 });
    computer->send ({ 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0x00, 0xF7 });                   // not an identity request
    computer->send ({ 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x01, 0x12, 0x00 }); // all but its F7
    computer->send ({ 0xF0, 0x7E, 0x7F, 0x06, 0x01, 0x00 });                         // all but its F7
    computer->send ({ 0xF0, 0x47, 0x00, 0x2E, 0x04, 0x02, 0x00, 0x01 });             // truncated
    computer->send ({ 0xF0, 0x7E, 0x7F, 0x06, 0x01 });                               // truncated
    computer->send (presetDumpRequest (0x2F));
    computer->send (identityRequest); // the one thing that is answered

    ASSERT_TRUE (computer->waitForMessages (1));
    test::pumpFor (30);
    ASSERT_EQ (computer->received.size(), 1u);
    EXPECT_EQ (computer->received.get()[0].bytes.size(), 35u);
}

//==============================================================================
TEST_F (SimulatedKeyboardTest, EnterUpdateModeMakesItsPortsVanishAndReturnInUpdateMode)
{
    start (settingsFor (49));
    const auto before = keyboard->getUserData();
    computer->send (enterUpdateMode (0x2E));

    ASSERT_TRUE (waitForRestart());
    EXPECT_TRUE (keyboard->isInUpdateMode());
    EXPECT_EQ (keyboard->getUserDataBeforeUpdate(), std::optional (before));

    // The loader does not answer identity requests.
    computer->send (identityRequest);
    test::pumpFor (30);
    EXPECT_EQ (computer->received.size(), 0u);
}

TEST_F (SimulatedKeyboardTest, FlashesBothImagesThenRestartsIntoTheNewFirmwareWithFactoryData)
{
    start (settingsFor (61, 1.15));
    computer->send (enterUpdateMode (0x30));
    ASSERT_TRUE (waitForRestart());

    sendFirmware();
    ASSERT_TRUE (waitForRestart());

    EXPECT_FALSE (keyboard->isInUpdateMode());
    EXPECT_EQ (keyboard->getFirmwareVersion(), 1.25);
    EXPECT_EQ (keyboard->getFlashedImage (FirmwareStreamChecker::Image::app), test::makeFirmwareStream (false));
    EXPECT_EQ (keyboard->getFlashedImage (FirmwareStreamChecker::Image::assets), test::makeFirmwareStream (true));
    EXPECT_EQ (keyboard->getUserData(), SimulatedKeyboard::factoryDataFor (61));
    EXPECT_TRUE (keyboard->getRejections().isEmpty());

    computer->send (identityRequest);
    ASSERT_TRUE (computer->waitForMessages (1));
    const auto reply = computer->received.get()[0].bytes;
    EXPECT_EQ (Bytes (reply.begin() + 9, reply.begin() + 13), (Bytes { 0, 1, 2, 5 }));
}

TEST_F (SimulatedKeyboardTest, AKeyboardStartedInUpdateModeTakesTheImagesWithoutAnEntryMessage)
{
    auto s = settingsFor (25, 1.10);
    s.startsInUpdateMode = true;
    start (s);
    EXPECT_TRUE (keyboard->isInUpdateMode());

    sendFirmware();
    ASSERT_TRUE (waitForRestart());
    EXPECT_EQ (keyboard->getFirmwareVersion(), 1.25);
    EXPECT_FALSE (keyboard->getUserDataBeforeUpdate().has_value());
}

TEST_F (SimulatedKeyboardTest, TheLoaderRejectsCorruptedStreamsAndRestartsInUpdateMode)
{
    auto s = settingsFor (49);
    s.startsInUpdateMode = true;
    start (s);

    const auto good = test::makeFirmwareStream (false, 200);
    constexpr size_t firstDataDigit = 5 + 15 + 2 + 20; // inside the first data record's data
    auto badChecksum = good;
    badChecksum[firstDataDigit] = badChecksum[firstDataDigit] == '0' ? '1' : '0';

    auto writes = test::cutIntoWrites (good, 1024);
    auto missing = writes, duplicated = writes;
    missing.erase (missing.begin() + 3);
    duplicated.insert (duplicated.begin() + 3, writes[3]);

    auto upperCase = good;
    upperCase[firstDataDigit] = 'A';

    const auto outside = test::makeFirmwareStream (false, 40, 0x08030000); // below the app's range

    // Each refused image restarts the keyboard into its update mode.
    for (auto& bad : { test::cutIntoWrites (badChecksum, 1024), missing, duplicated, test::cutIntoWrites (upperCase, 1024), test::cutIntoWrites (outside, 1024) })
    {
        for (auto& b : bad)
            computer->send (b);

        ASSERT_TRUE (waitForRestart());
    }

    for (auto& b : test::cutIntoWrites (test::makeFirmwareStream (true), 1024)) // good assets, but no good app
        computer->send (b);

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return keyboard->getLog().contains ("assets flashed"); }));
    const auto rejections = keyboard->getRejections();
    ASSERT_EQ (rejections.size(), 5) << rejections.joinIntoString ("\n");
    EXPECT_TRUE (rejections[0].contains ("checksum")) << rejections[0];
    EXPECT_TRUE (rejections[4].contains ("range")) << rejections[4];
    EXPECT_TRUE (rejections[3].contains ("hex digit")) << rejections[3];

    test::pumpFor (40);
    EXPECT_TRUE (keyboard->isInUpdateMode());
    EXPECT_TRUE (computer->keyboardListed());
    EXPECT_TRUE (keyboard->getFlashedImage (FirmwareStreamChecker::Image::app).empty());
}

TEST_F (SimulatedKeyboardTest, StoresRestoredGlobalsAndPresetsInThePlacesTheirSelectNames)
{
    start (settingsFor (49));
    const auto other = SimulatedKeyboard::makeUserData (999);

    std::vector<int> places (32);
    std::iota (places.begin(), places.end(), 0);
    sendRestore (other, places);

    // An interrupted preset (no Preset End after 384 messages) is not written.
    computer->send (presetSelect (0x2E, 3));
    computer->send (presetData (0x2E, other.presets[0].data()));
    computer->send (presetEnd (0x2E));

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return keyboard->getLog().size() == 1; }));
    EXPECT_EQ (keyboard->getUserData(), other);
    EXPECT_TRUE (keyboard->getLog()[0].startsWith ("incomplete preset 3"));
}

TEST_F (SimulatedKeyboardTest, ChecksTheRestoreAsTheRulesForOldFirmwareSayItMustEnd)
{
    for (auto version : { 1.15, 1.16 })
    {
        start (settingsFor (49, version));
        const auto before = keyboard->getUserData();
        computer->send (enterUpdateMode (0x2E));
        ASSERT_TRUE (waitForRestart());
        sendFirmware();
        ASSERT_TRUE (waitForRestart());
        EXPECT_FALSE (keyboard->checkRestore().isEmpty());

        // Old firmware: the first 30 presets, 6 to 29 moved up by two places.
        const auto old = version < 1.16;
        std::vector<int> places;

        for (int p = 0; p < (old ? 30 : 32); ++p)
            places.push_back (old && p >= 6 ? p + 2 : p);

        sendRestore (before, places);
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return keyboard->checkRestore().isEmpty(); }))
            << keyboard->checkRestore();

        // Leaving out one preset is noticed.
        computer->send (presetSelect (0x2E, 9));

        for (int m = 0; m < 384; ++m)
            computer->send (presetData (0x2E, SimulatedKeyboard::factoryDataFor (49).presets[9].data() + m * 5));

        computer->send (presetEnd (0x2E));
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return keyboard->checkRestore().isNotEmpty(); }));
        EXPECT_EQ (keyboard->checkRestore(), "preset place 9 does not hold what the restore must leave there");

        computer.reset();
        keyboard.reset();
    }
}

//==============================================================================
TEST (KeyboardFault, ReadsAndWritesItsTextForm)
{
    for (auto* text : { "unplug@global:3", "unplug@preset:3:100", "unplug@app-block:10", "unplug@assets-block:7000", "unplug@restore:12", "unplug@reboot", "silent@identity:0", "silent@preset:31:383", "malformed=wrong-length@global:0", "malformed=wrong-model@identity:2", "malformed=non-sysex@preset:0:0", "malformed=duplicate@global:13", "malformed=truncated@preset:1:2", "malformed=foreign@global:1", "no-return@update-mode", "no-return@reboot", "late-return=5000@reboot", "pause=1500@preset:2:100", "drop@assets-block:5000", "drop@update-mode", "drop@app-block:0,repeat", "unplug=3000@assets-block:4000", "unplug=3@global:1", "unplug@restore:3,repeat", "drop@global:1", "drop@preset:3:383", "double@preset:0:0,repeat", "double@global:13", "drop@restore:7", "corrupt@restore:500,repeat" })
    {
        const auto f = KeyboardFault::parse (text);
        ASSERT_TRUE (f.has_value()) << text;
        EXPECT_EQ (f->toString(), text);
    }

    for (auto* text : { "", "unplug", "unplug@", "unplug@global", "unplug@global:x", "unplug@preset:3", "melt@global:1", "malformed@global:1", "malformed=odd@global:1", "malformed=truncated@reboot", "late-return@reboot", "no-return@global:2", "silent@reboot", "unplug=x@global:1", "silent@global:0,repeat", "pause=5@global:1,repeat", "drop@reboot", "pause@global:1", "pause=5@reboot", "drop@identity:0", "double@app-block:1", "double=2@global:1", "corrupt@preset:1:2", "drop=2@app-block:1" })
        EXPECT_FALSE (KeyboardFault::parse (text).has_value()) << text;
}

TEST_F (SimulatedKeyboardTest, UnpluggedAtAGlobalRequestItAnswersTheOnesBeforeAndVanishes)
{
    auto s = settingsFor (49);
    s.faults = { fault ("unplug@global:3") };
    start (s);

    for (auto id : globalIds)
        computer->send (globalRequest (0x2E, id));

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! computer->keyboardListed(); }));
    // Replies sent before the unplug may still be on their way; any beyond them would
    // arrive within the pause after.
    ASSERT_TRUE (computer->waitForMessages (3));
    test::pumpFor (30);
    EXPECT_EQ (computer->received.size(), 3u);
    EXPECT_FALSE (keyboard->isPlugged());
}

TEST_F (SimulatedKeyboardTest, UnpluggedInAPresetDumpItSendsTheMessagesBefore)
{
    auto s = settingsFor (49);
    s.faults = { fault ("unplug@preset:2:100") };
    start (s);

    for (int p = 0; p < 3; ++p)
    {
        computer->send (presetSelect (0x2E, p));
        computer->send (presetDumpRequest (0x2E));
    }

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! keyboard->isPlugged(); }));
    ASSERT_TRUE (computer->waitForMessages (2u * 384 + 100, test::stepTimeoutMs));
    test::pumpFor (30);
    EXPECT_EQ (computer->received.size(), 2u * 384 + 100);
}

TEST_F (SimulatedKeyboardTest, SilentFromAPointItAnswersNothingMore)
{
    auto s = settingsFor (49);
    s.faults = { fault ("silent@preset:1:10") };
    start (s);

    for (int p = 0; p < 3; ++p)
    {
        computer->send (presetSelect (0x2E, p));
        computer->send (presetDumpRequest (0x2E));
    }

    computer->send (identityRequest);
    ASSERT_TRUE (computer->waitForMessages (384 + 10));
    test::pumpFor (40);
    EXPECT_EQ (computer->received.size(), 384u + 10);
    EXPECT_TRUE (keyboard->isPlugged());
}

TEST_F (SimulatedKeyboardTest, MalformedAnswersAreMalformedAsAsked)
{
    const std::pair<const char*, std::function<void (const std::vector<Bytes>&)>> cases[] = {
        { "malformed=wrong-length@global:0", [] (auto& r)
          { ASSERT_EQ (r.size(), 1u); EXPECT_EQ (r[0].size(), 15u); EXPECT_EQ (r[0].back(), 0xF7); } },
        { "malformed=wrong-model@global:0", [] (auto& r)
          { ASSERT_EQ (r.size(), 1u); EXPECT_EQ (r[0].size(), 14u); EXPECT_NE (r[0][3], 0x2E); } },
        { "malformed=non-sysex@global:0", [] (auto& r)
          { ASSERT_EQ (r.size(), 1u); EXPECT_EQ (r[0], (Bytes { 0x90, 0x3C, 0x40 })); } },
        { "malformed=duplicate@global:0", [] (auto& r)
          { ASSERT_EQ (r.size(), 2u); EXPECT_EQ (r[0], r[1]); } },
        { "malformed=truncated@global:0", [] (auto& r)
          { ASSERT_EQ (r.size(), 1u); EXPECT_EQ (r[0].size(), 11u); EXPECT_NE (r[0].back(), 0xF7); } },
        { "malformed=foreign@global:0", [] (auto& r)
          { ASSERT_EQ (r.size(), 1u); EXPECT_EQ (r[0][1], 0x43); } },
        { "malformed=wrong-model@identity:0", [] (auto& r)
          { ASSERT_EQ (r.size(), 1u); EXPECT_EQ (r[0].size(), 35u); EXPECT_NE (r[0][6], 0x2E); } },
    };

    for (auto& [text, check] : cases)
    {
        auto s = settingsFor (49);
        s.faults = { fault (text) };
        start (s);

        computer->send (juce::String (text).contains ("identity") ? identityRequest : globalRequest (0x2E, 0x12));
        ASSERT_TRUE (computer->waitForMessages (juce::String (text).contains ("duplicate") ? 2 : 1)) << text;
        test::pumpFor (20);

        std::vector<Bytes> replies;

        for (auto& r : computer->received.get())
            replies.push_back (r.bytes);

        SCOPED_TRACE (text);
        check (replies);
        computer.reset();
        keyboard.reset();
    }
}

TEST_F (SimulatedKeyboardTest, ARestartCanBeLateOrNeverEnd)
{
    auto s = settingsFor (49);
    s.faults = { fault ("late-return=150@update-mode"), fault ("no-return@reboot") };
    start (s);

    const auto sent = juce::Time::getMillisecondCounter();
    computer->send (enterUpdateMode (0x2E));
    ASSERT_TRUE (waitForRestart());
    EXPECT_GE (juce::Time::getMillisecondCounter() - sent, 150u);

    sendFirmware();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return keyboard->getLog().contains ("stays away"); }));
    test::pumpFor (60);
    EXPECT_FALSE (computer->keyboardListed());
    EXPECT_EQ (keyboard->getFirmwareVersion(), 1.25);

    // Plugged in by hand, it runs the new firmware.
    keyboard->plug();
    computer->connect();
    computer->send (identityRequest);
    ASSERT_TRUE (computer->waitForMessages (1));
    EXPECT_EQ (computer->received.get()[0].bytes[11], 2);
}

TEST_F (SimulatedKeyboardTest, UnpluggedAtAFirmwareBlockTheImageIsNotFlashed)
{
    auto s = settingsFor (49);
    s.startsInUpdateMode = true;
    s.faults = { fault ("unplug@assets-block:1") }; // the second of its two writes
    start (s);

    sendFirmware();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! keyboard->isPlugged(); }));
    EXPECT_FALSE (keyboard->getFlashedImage (FirmwareStreamChecker::Image::app).empty());
    EXPECT_TRUE (keyboard->getFlashedImage (FirmwareStreamChecker::Image::assets).empty());
    EXPECT_TRUE (keyboard->isInUpdateMode());
}

TEST_F (SimulatedKeyboardTest, UnpluggedDuringTheRestoreTheRestIsLost)
{
    auto s = settingsFor (49);
    s.startsInUpdateMode = true;
    s.faults = { fault ("unplug@restore:20") };
    start (s);

    sendFirmware();
    ASSERT_TRUE (waitForRestart());
    sendRestore (SimulatedKeyboard::makeUserData (5), { 0 });

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return ! keyboard->isPlugged(); }));
    const auto data = keyboard->getUserData();
    const auto factory = SimulatedKeyboard::factoryDataFor (49);
    const auto restored = SimulatedKeyboard::makeUserData (5);
    EXPECT_EQ (data.globals, restored.globals); // the 14 before message 20 arrived
    EXPECT_EQ (data.presets, factory.presets);
}

TEST_F (SimulatedKeyboardTest, WritesItsTrafficAsJsonLines)
{
    const juce::TemporaryFile traceFile (".jsonl");
    auto s = settingsFor (49);
    s.traceFile = traceFile.getFile();
    start (s);

    computer->send (identityRequest);
    computer->send (globalRequest (0x2E, 0x1E));
    ASSERT_TRUE (computer->waitForMessages (2));
    keyboard.reset(); // closes the trace

    juce::StringArray lines;
    lines.addLines (traceFile.getFile().loadFileAsString().trim());
    ASSERT_EQ (lines.size(), 4);

    const juce::String expected[][3] = {
        { "to_keyboard", "MORELTA49", "F07E7F0601F7" },
        { "to_keyboard", "MORELTA49", "F047002E040200011EF7" },
    };

    juce::int64 lastTime = -1;
    int fromKeyboard = 0, toKeyboardSeen = 0;

    for (auto& line : lines)
    {
        const auto json = juce::JSON::parse (line);
        ASSERT_TRUE (json.isObject()) << line;
        EXPECT_EQ (json.getDynamicObject()->getProperties().size(), 4) << line;
        const auto t = (juce::int64) json["t_us"];
        EXPECT_GE (t, lastTime);
        lastTime = t;

        const auto hex = json["hex"].toString();
        EXPECT_TRUE (hex.containsOnly ("0123456789ABCDEF")) << line;

        if (json["dir"] == "to_keyboard")
        {
            ASSERT_LT (toKeyboardSeen, 2);
            EXPECT_EQ (json["port"].toString(), expected[toKeyboardSeen][1]);
            EXPECT_EQ (hex, expected[toKeyboardSeen][2]);
            ++toKeyboardSeen;
        }
        else
        {
            EXPECT_EQ (json["dir"].toString(), "from_keyboard");
            EXPECT_EQ (json["port"].toString(), "MIDIIN3 (MORELTA49)");
            ++fromKeyboard;
        }
    }

    EXPECT_EQ (fromKeyboard, 2);
    EXPECT_TRUE (lines[0].startsWith ("{\"t_us\": "));
}

TEST_F (SimulatedKeyboardTest, ALinkRateMakesAWriteTakeItsTime)
{
    auto s = settingsFor (49);
    s.startsInUpdateMode = true;
    s.timing.linkBytesPerSecond = 10240;
    start (s);

    const auto started = juce::Time::getMillisecondCounterHiRes();
    computer->send (Bytes (1024, 0x30)); // stray bytes, but they still cross the link
    EXPECT_GE (juce::Time::getMillisecondCounterHiRes() - started, 100.0);
}
