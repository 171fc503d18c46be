#include "KeyboardTestHelpers.h"
#include "engine/FirmwareSysexSender.h"
#include "resources/EmbeddedResources.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <gtest/gtest.h>

using test::Bytes;

namespace
{
Bytes embedded (const char* data, int size)
{
    return { reinterpret_cast<const juce::uint8*> (data), reinterpret_cast<const juce::uint8*> (data) + size };
}

Bytes fileBytes (const char* path)
{
    juce::MemoryBlock block;
    juce::File (path).loadFileAsData (block);
    return { (const juce::uint8*) block.getData(), (const juce::uint8*) block.getData() + block.getSize() };
}

Bytes concatenatedBlocks (const FirmwareUpdate& image)
{
    Bytes all;

    for (juce::uint32 i = 0; i < image.getBlockCount(); ++i)
    {
        const auto block = image.getBlock (i);
        all.insert (all.end(), block.begin(), block.end());
    }

    return all;
}

/** Records what a sender reports, and on which thread. */
class SenderLog final : public FirmwareSysexSender::Listener
{
public:
    void progress (FirmwareSysexSender* sender, double value) override
    {
        EXPECT_TRUE (test::isMessageThread());
        progressValues.add (value);
        blocksAtLastProgress = sender->getBlocksSent(); // what the engine shows

        if (onProgress != nullptr)
            onProgress();
    }

    void status (FirmwareSysexSender*, FirmwareSysexSender::Status news) override
    {
        EXPECT_TRUE (test::isMessageThread());
        const juce::String text (FirmwareSysexSender::textOf (news));
        statuses.add (text);

        if (text == "Completed")
            blocksShownAtCompletion = blocksAtLastProgress.load();
    }

    int count (const juce::String& text) const
    {
        auto s = statuses.get();
        return (int) std::count (s.begin(), s.end(), text);
    }

    test::SharedList<double> progressValues;
    test::SharedList<juce::String> statuses;
    std::function<void()> onProgress;
    std::atomic<juce::uint32> blocksAtLastProgress { 0 }, blocksShownAtCompletion { 0 };
};

/** A device on the virtual ports that records each write, and can go away and return. */
struct Device
{
    explicit Device (VirtualMidiPortSystem& p, int writeDelayMs = 0)
        : ports (p)
        , delayMs (writeDelayMs)
    {
        plug();
    }

    void plug()
    {
        outputId = ports.addOutputPort ("MORELTA49", [this] (const juce::MidiMessage& m)
                                        {
                                            if (delayMs > 0)
                                                juce::Thread::sleep (delayMs);

                                            writes.add (test::bytesOf (m));

                                            if (onWrite != nullptr)
                                                onWrite (test::bytesOf (m)); });
    }

    void unplug() { ports.removePort (outputId); }

    VirtualMidiPortSystem& ports;
    const int delayMs;
    int outputId = 0;
    test::SharedList<Bytes> writes;
    std::function<void (const Bytes&)> onWrite;
};

FirmwareUpdate::Ptr imageOfBlocks (int blocks)
{
    Bytes data ((size_t) blocks * 1024);

    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (juce::uint8) (i / 1024);

    return new FirmwareUpdate (std::move (data), "MORELTA49", "test");
}
} // namespace

//==============================================================================
TEST (EmbeddedResources, HoldTheFirmwareStreamsByteForByte)
{
    const auto app = embedded (EmbeddedResources::KVX1_RCap_syx, EmbeddedResources::KVX1_RCap_syxSize);
    const auto assets = embedded (EmbeddedResources::KVX1_RC_assets_syx, EmbeddedResources::KVX1_RC_assets_syxSize);

    EXPECT_EQ (EmbeddedResources::KVX1_RCap_syxSize, 1629184);
    EXPECT_EQ (EmbeddedResources::KVX1_RC_assets_syxSize, 8100840);

    for (auto* stream : { &app, &assets })
    {
        EXPECT_EQ (Bytes (stream->begin(), stream->begin() + 5), (Bytes { 0xF0, 0x47, 0x00, 0x2E, 0x70 }));
        EXPECT_EQ (stream->back(), 0xF7);
    }

    EXPECT_EQ (app, fileBytes (MORELTA_APP_STREAM));
    EXPECT_EQ (assets, fileBytes (MORELTA_ASSETS_STREAM));

    // What the placeholder text starts with, as the keyboard's loader expects.
    EXPECT_EQ (juce::String::createStringFromData (app.data() + 5, 15), ":020000040804ee");
    EXPECT_EQ (juce::String::createStringFromData (assets.data() + 5, 15), ":020000040810e2");
}

TEST (EmbeddedResources, TheBuildsStreamCheckRefusesAFlippedHexDigit)
{
    const auto good = fileBytes (MORELTA_APP_STREAM);
    auto bad = good;
    auto& digit = bad[5 + 17 + 20]; // inside the first data record
    digit = digit == '0' ? '1' : '0';

    const juce::TemporaryFile goodFile (".syx"), badFile (".syx");
    ASSERT_TRUE (goodFile.getFile().replaceWithData (good.data(), good.size()));
    ASSERT_TRUE (badFile.getFile().replaceWithData (bad.data(), bad.size()));

    auto run = [] (const juce::File& f)
    {
        juce::ChildProcess check;
        EXPECT_TRUE (check.start (juce::StringArray { MORELTA_STREAM_CHECK, "app", f.getFullPathName() }));
        EXPECT_TRUE (check.waitForProcessToFinish (30000));
        return std::make_pair ((int) check.getExitCode(), check.readAllProcessOutput());
    };

    EXPECT_EQ (run (goodFile.getFile()).first, 0);
    const auto [code, output] = run (badFile.getFile());
    EXPECT_NE (code, 0);
    EXPECT_TRUE (output.contains ("checksum")) << output;
}

//==============================================================================
TEST (FirmwareUpdate, CutsTheEmbeddedImagesInto1024ByteBlocks)
{
    const auto images = FirmwareUpdate::makeImages ("MORELTA49");
    ASSERT_EQ (images.size(), 2);
    auto& app = *images[FirmwareUpdate::app];
    auto& assets = *images[FirmwareUpdate::assets];

    EXPECT_EQ (app.getName(), "Morelta App");
    EXPECT_EQ (assets.getName(), "Morelta Assets");
    EXPECT_EQ (app.getPortName(), "MORELTA49");
    EXPECT_EQ (app.getBlockCount(), 1591u);
    EXPECT_EQ (assets.getBlockCount(), 7911u);
    EXPECT_EQ (app.getBlockPause(), 1);

    const auto firstApp = app.getBlock (0);
    EXPECT_EQ (Bytes (firstApp.begin(), firstApp.begin() + 6), (Bytes { 0xF0, 0x47, 0x00, 0x2E, 0x70, ':' }));
    const auto lastApp = app.getBlock (1590);
    EXPECT_EQ (lastApp.size(), 1024u);
    EXPECT_EQ (Bytes (lastApp.end() - 3, lastApp.end()), (Bytes { 'f', 'f', 0xF7 }));
    EXPECT_TRUE (app.getBlock (1591).empty());

    const auto lastAssets = assets.getBlock (7910);
    EXPECT_EQ (lastAssets.size(), 1000u);
    EXPECT_EQ (lastAssets.back(), 0xF7);

    EXPECT_EQ (concatenatedBlocks (app), embedded (EmbeddedResources::KVX1_RCap_syx, EmbeddedResources::KVX1_RCap_syxSize));
    EXPECT_EQ (concatenatedBlocks (assets), embedded (EmbeddedResources::KVX1_RC_assets_syx, EmbeddedResources::KVX1_RC_assets_syxSize));
}

TEST (FirmwareUpdate, CountsAPartBlockAsABlock)
{
    for (auto [size, blocks, lastSize] : { std::tuple (1, 1u, 1u), std::tuple (2048, 2u, 1024u), std::tuple (2049, 3u, 1u) })
    {
        FirmwareUpdate image (Bytes ((size_t) size, 0x30), "P", "n");
        EXPECT_EQ (image.getBlockCount(), blocks) << size;
        EXPECT_EQ (image.getBlock (blocks - 1).size(), lastSize) << size;
        EXPECT_TRUE (image.getBlock (blocks).empty()) << size;
    }
}

//==============================================================================
class FirmwareSenderTest : public ::testing::Test
{
protected:
    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    MidiManager::Ptr manager = new MidiManager (ports);
    SenderLog log;
};

TEST (FirmwareSender, SendsEachBlockInOrderThenReportsCompletionOnceAfterTheLastBlocksProgress)
{
    // What the message thread may hear while the last block goes: nothing; a progress
    // (read before that block counts); the port's loss, as the keyboard restarts on it.
    for (auto whileTheLastBlockGoes : { "nothing", "progress", "the port's loss" })
    {
        SCOPED_TRACE (whileTheLastBlockGoes);
        const juce::String heard (whileTheLastBlockGoes);
        VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
        MidiManager::Ptr manager = new MidiManager (ports);
        SenderLog caseLog;
        Device device (*ports);
        FirmwareSysexSender::Ptr sender = new FirmwareSysexSender (imageOfBlocks (3), manager, &caseLog);
        std::atomic<bool> heardIt { false };

        if (heard == "progress")
        {
            caseLog.onProgress = [&]
            {
                if (heardIt.exchange (true))
                    return;

                // The sender's own store of its progress follows the count by a step;
                // the pause only makes it likely to fall inside this call.
                test::waitWithoutPumping ([&]
                                          { return sender->getBlocksSent() == 3; },
                                          10000);
                juce::Thread::sleep (20);
            };
        }

        device.onWrite = [&] (const Bytes& block)
        {
            if (block[0] != 2 || heard == "nothing")
                return;

            if (heard == "the port's loss")
                juce::MessageManager::callAsync ([&]
                                                 {
                                                     sender->midiOutputDeviceDisconnected ({ "MORELTA49" });
                                                     heardIt = true; });

            // Bounded: this write holds the port manager's lock, and a port poll on the
            // message thread may be waiting for it; the case then runs unforced.
            test::waitWithoutPumping ([&]
                                      { return heardIt.load(); },
                                      2000);
        };

        sender->start();
        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return caseLog.count ("Completed") + caseLog.count ("Device Offline") > 0; }));
        test::pumpFor (30);

        const auto writes = device.writes.get();
        ASSERT_EQ (writes.size(), 3u);

        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ (writes[i], Bytes (1024, (juce::uint8) i));

        EXPECT_EQ (caseLog.statuses.get(), (std::vector<juce::String> { "Started", "Completed" }));
        const auto progress = caseLog.progressValues.get();
        ASSERT_FALSE (progress.empty());
        EXPECT_TRUE (std::is_sorted (progress.begin(), progress.end()));
        EXPECT_EQ (progress.back(), 1.0);
        EXPECT_EQ (sender->getBlocksSent(), 3u);
        EXPECT_EQ (caseLog.blocksShownAtCompletion.load(), 3u);

        sender = nullptr;
    }
}

TEST (FirmwareSender, AKeyboardThatVanishesOrRefusesABlockMidwayStopsTheTransferAndIsReportedOnce)
{
    struct Case
    {
        const char* name;
        bool refuses; // the driver refuses the third block; otherwise the port vanishes
    };

    for (auto c : { Case { "vanishes", false }, Case { "refuses a block", true } })
    {
        SCOPED_TRACE (c.name);
        VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
        MidiManager::Ptr manager = new MidiManager (ports);
        SenderLog log;
        Device device (*ports, 5);
        device.onWrite = [&] (const Bytes&)
        {
            if (c.refuses && device.writes.size() == 2)
                ports->setSendFailures ("MORELTA49", 1); // one only: a sender that went on would be heard
            else if (! c.refuses && device.writes.size() == 1)
                juce::MessageManager::callAsync ([&]
                                                 { device.unplug(); });
        };

        FirmwareSysexSender::Ptr sender = new FirmwareSysexSender (imageOfBlocks (400), manager, &log);
        sender->start();

        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return log.count ("Device Offline") == 1; }));
        test::pumpFor (100);

        EXPECT_EQ (log.count ("Device Offline"), 1);
        EXPECT_EQ (log.count ("Completed"), 0);
        EXPECT_LT (device.writes.size(), 400u);

        // The refused block is not counted as sent, and nothing follows it.
        if (c.refuses)
        {
            EXPECT_EQ (device.writes.size(), 2u);
            EXPECT_EQ (sender->getBlocksSent(), 2u);
        }

        sender = nullptr;
        device.unplug();
    }
}

TEST_F (FirmwareSenderTest, OtherPortsAndASecondStartWhileSendingChangeNothing)
{
    Device device (*ports, 2);
    FirmwareSysexSender::Ptr sender = new FirmwareSysexSender (imageOfBlocks (60), manager, &log);
    sender->start();

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return device.writes.size() >= 5; }));
    sender->midiOutputDeviceDisconnected ({ "MIDIOUT2 (MORELTA49)" });
    EXPECT_FALSE (sender->start()); // no second thread

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return log.count ("Completed") == 1; }));
    test::pumpFor (50);
    EXPECT_EQ (device.writes.size(), 60u);
    EXPECT_EQ (log.count ("Device Offline"), 0);
    EXPECT_EQ (log.count ("Started"), 1);
}

TEST_F (FirmwareSenderTest, DroppingASenderMidwayEndsItsThreadCleanly)
{
    Device device (*ports, 3);
    FirmwareSysexSender::Ptr sender = new FirmwareSysexSender (imageOfBlocks (1000), manager, &log);
    sender->start();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return device.writes.size() >= 3; }));

    sender = nullptr; // waits for the block under way, then the thread ends
    const auto written = device.writes.size();
    test::pumpFor (50);
    EXPECT_EQ (device.writes.size(), written);
    EXPECT_LT (written, 1000u);
}

TEST_F (FirmwareSenderTest, TheKeyboardsLoaderAcceptsBothEmbeddedImagesByteForByte)
{
    SimulatedKeyboard::Settings settings;
    settings.startsInUpdateMode = true;
    SimulatedKeyboard keyboard (ports, settings);
    manager->openMidiOutput ("MORELTA49");

    const auto images = FirmwareUpdate::makeImages ("MORELTA49");
    FirmwareSysexSender::Ptr app = new FirmwareSysexSender (images[FirmwareUpdate::app], manager, &log);
    FirmwareSysexSender::Ptr assets = new FirmwareSysexSender (images[FirmwareUpdate::assets], manager, &log);

    app->start();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return log.count ("Completed") == 1; },
                                  30000));
    assets->start();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return log.count ("Completed") == 2; },
                                  test::updateTimeoutMs));
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return keyboard.getFirmwareVersion() == 1.25; }));

    EXPECT_TRUE (keyboard.getRejections().isEmpty()) << keyboard.getRejections().joinIntoString ("\n");
    EXPECT_EQ (keyboard.getFlashedImage (FirmwareStreamChecker::Image::app), embedded (EmbeddedResources::KVX1_RCap_syx, EmbeddedResources::KVX1_RCap_syxSize));
    EXPECT_EQ (keyboard.getFlashedImage (FirmwareStreamChecker::Image::assets), embedded (EmbeddedResources::KVX1_RC_assets_syx, EmbeddedResources::KVX1_RC_assets_syxSize));
}

TEST (EmbeddedResources, HoldTheArtworkAsRgbaPngsOfTheirSizesEachPictureAlsoAtTwice)
{
    const std::tuple<const char*, int, int> pictures[] = {
        { "MoreltaLockup", 358, 77 },
        { "IvraLogo", 79, 23 },
        { "MoreltaFirmwareUpdater_Background_25", 400, 311 },
        { "MoreltaFirmwareUpdater_Background_49", 400, 311 },
        { "MoreltaFirmwareUpdater_Background_61", 400, 311 },
        { "MoreltaFirmwareUpdater_ProgressBar", 360, 32 },
        { "MoreltaFirmwareUpdater_UpdateButton_Hover", 212, 56 },
        { "MoreltaFirmwareUpdater_UpdateButton_Normal", 212, 56 },
        { "MoreltaFirmwareUpdater_UpdateButton_Press", 212, 56 },
    };

    std::vector<std::tuple<juce::String, int, int>> expected { { "Morelta_FirmwareIcon_png", 1024, 1024 } };

    for (auto [name, width, height] : pictures)
    {
        expected.emplace_back (juce::String (name) + "_png", width, height);
        expected.emplace_back (juce::String (name) + "_2x_png", 2 * width, 2 * height);
    }

    ASSERT_EQ (EmbeddedResources::namedResourceListSize, 2 + (int) expected.size());
    EXPECT_STREQ (EmbeddedResources::namedResourceList[0], "KVX1_RCap_syx");
    EXPECT_STREQ (EmbeddedResources::namedResourceList[1], "KVX1_RC_assets_syx");

    for (size_t i = 0; i < expected.size(); ++i)
    {
        auto [name, width, height] = expected[i];
        SCOPED_TRACE (name);
        EXPECT_EQ (juce::String (EmbeddedResources::namedResourceList[i + 2]), name);

        int size = 0;
        const auto* data = EmbeddedResources::getNamedResource (name.toRawUTF8(), size);
        ASSERT_NE (data, nullptr);

        // The PNG header: 8 bits per channel, colour type 6 (RGBA), not interlaced.
        const auto* bytes = reinterpret_cast<const juce::uint8*> (data);
        ASSERT_GT (size, 33);
        EXPECT_EQ (Bytes (bytes + 1, bytes + 4), (Bytes { 'P', 'N', 'G' }));
        EXPECT_EQ (bytes[24], 8);
        EXPECT_EQ (bytes[25], 6);
        EXPECT_EQ (bytes[28], 0);

        const auto image = juce::ImageCache::getFromMemory (data, size);
        EXPECT_EQ (image.getWidth(), width);
        EXPECT_EQ (image.getHeight(), height);
    }

    int size = 1;
    EXPECT_EQ (EmbeddedResources::getNamedResource ("MoreltaLockup_3x_png", size), nullptr);
    EXPECT_EQ (size, 0);
}
