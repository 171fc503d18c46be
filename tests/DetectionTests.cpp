#include "KeyboardTestHelpers.h"
#include "engine/DetectDeviceInfo.h"

#include <gtest/gtest.h>

using test::Bytes;
using test::identityReply;

namespace
{
class ModelAndVersionListener final : public ApplicationEngine::Listener
{
public:
    void statusChanged (int) override {}
    void progressChanged (double) override {}
    void errorOccurred (int) override {}
    void emergencyModeChanged (bool) override {}
    void hardwareModelChanged (int m) override { models.push_back (m); }
    void firmwareVersionChanged (double v) override { versions.push_back (v); }

    std::vector<int> models;
    std::vector<double> versions;
};

/** One computer with the updater's engine and its own MIDI ports. */
struct Rig
{
    Rig() { engine->addListener (&listener); }

    int identityRequestsSeenBy (const SimulatedKeyboard& k) const
    {
        const auto log = k.getLog();
        return (int) std::count (log.begin(), log.end(), "identity request");
    }

    VirtualMidiPortSystem::Ptr ports = new VirtualMidiPortSystem();
    SimulatedPrivateDriver::Ptr privateDriver = new SimulatedPrivateDriver();
    MidiManager::Ptr manager = new MidiManager (ports, privateDriver);
    ApplicationEngine::Ptr engine = new ApplicationEngine (manager);
    ModelAndVersionListener listener;
};

SimulatedKeyboard::Settings keyboardSettings (int keys, double version, SimulatedKeyboard::Layout layout = SimulatedKeyboard::Layout::classDriver)
{
    SimulatedKeyboard::Settings s;
    s.keys = keys;
    s.firmwareVersion = version;
    s.layout = layout;
    return s;
}
} // namespace

TEST (Detection, FindsEveryModelOnEveryLayoutAndReportsModelAndVersion)
{
    using Layout = SimulatedKeyboard::Layout;

    struct Case
    {
        int keys;
        Layout layout;
        int replyInput; // 0: the layout's own
        int model;
        const char* port1;
        const char* port3;
        int openInputs;
        int portNumber = 1; // numbered as Windows numbers a second identical device
    };

    // Newer-style names say nothing of which port answers: the third port is where the
    // reply came in, wherever the keyboard sends it.
    const Case cases[] = {
        { 25, Layout::classDriver, 0, 0, "MORELTA25", "MIDIIN3 (MORELTA25)", 2 },
        { 49, Layout::classDriver, 0, 1, "MORELTA49", "MIDIIN3 (MORELTA49)", 2 },
        { 61, Layout::classDriver, 0, 2, "MORELTA61", "MIDIIN3 (MORELTA61)", 2 },
        { 25, Layout::privateDriver, 0, 0, "MORELTA25 USB PORT 1", "", 1 },
        { 49, Layout::privateDriver, 0, 1, "MORELTA49 USB PORT 1", "", 1 },
        { 61, Layout::privateDriver, 0, 2, "MORELTA61 USB PORT 1", "", 1 },
        { 25, Layout::newStyleNames, 0, 0, "MORELTA25 MIDI", "MORELTA25 EDITOR", 3 },
        { 49, Layout::newStyleNames, 2, 1, "MORELTA49 MIDI", "MORELTA49 DAW", 3 },
        { 61, Layout::newStyleNames, 1, 2, "MORELTA61 MIDI", "MORELTA61 MIDI", 3 },
        { 49, Layout::classDriver, 0, 1, "2- MORELTA49", "MIDIIN3 (2- MORELTA49)", 2, 2 },
        { 25, Layout::privateDriver, 0, 0, "3- MORELTA25 USB PORT 1", "", 1, 3 },
        { 61, Layout::newStyleNames, 0, 2, "MORELTA61 (2) MIDI", "MORELTA61 (2) EDITOR", 3, 2 },
    };

    // All at once, so the test waits for one detection tick rather than nine.
    std::vector<std::unique_ptr<Rig>> rigs;
    std::vector<std::unique_ptr<SimulatedKeyboard>> keyboards;

    for (auto& c : cases)
    {
        rigs.push_back (std::make_unique<Rig>());
        auto settings = keyboardSettings (c.keys, 1.15, c.layout);
        settings.replyInput = c.replyInput;
        settings.portNumber = c.portNumber;
        keyboards.push_back (std::make_unique<SimulatedKeyboard> (rigs.back()->ports, settings, rigs.back()->privateDriver));
    }

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return std::all_of (rigs.begin(), rigs.end(), [] (auto& r)
                                                        { return ! r->listener.versions.empty() && r->listener.versions.back() == 1.15
                                                                 && (r->engine->getState().port3Name.isNotEmpty() || r->engine->getState().usesPrivateDriver); }); },
                                  test::stepTimeoutMs));

    for (size_t i = 0; i < std::size (cases); ++i)
    {
        auto& c = cases[i];
        auto& state = rigs[i]->engine->getState();
        SCOPED_TRACE (c.port1);
        EXPECT_EQ (state.port1Name, c.port1);
        EXPECT_EQ (state.port3Name, c.port3);
        EXPECT_EQ (state.usesPrivateDriver, c.layout == Layout::privateDriver);
        EXPECT_EQ (state.model, c.model);
        EXPECT_EQ (state.version, 1.15);
        EXPECT_EQ (rigs[i]->listener.models.back(), c.model);
        EXPECT_EQ (rigs[i]->manager->getNumOpenOutputs(), 1);
        EXPECT_EQ (rigs[i]->manager->getNumOpenInputs(), c.openInputs);
        EXPECT_EQ (rigs[i]->manager->getNumPrivateInputs(), c.layout == Layout::privateDriver ? 1 : 0);
        EXPECT_FALSE (rigs[i]->engine->getDetection()->isPolling());
        EXPECT_EQ (rigs[i]->engine->checkUpdateCanStart(), ApplicationEngine::Refusal::none);
    }
}

TEST (Detection, AsksOnceASecondUntilTheReplyAndNeverAfter)
{
    // JUCE's timer thread counts a new timer's period from its own last pass, which can
    // be a few hundred milliseconds earlier while the message thread is busy: the first
    // tick comes after most of a second, not at once.
    const auto start = juce::Time::getMillisecondCounter();
    Rig answering, silent;
    SimulatedKeyboard answers (answering.ports, keyboardSettings (49, 1.16));
    auto settings = keyboardSettings (49, 1.16, SimulatedKeyboard::Layout::privateDriver);
    settings.faults = { *KeyboardFault::parse ("silent@identity:0") };
    SimulatedKeyboard mute (silent.ports, settings, silent.privateDriver);

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return silent.identityRequestsSeenBy (mute) == 1; },
                                  test::stepTimeoutMs));
    EXPECT_GE (juce::Time::getMillisecondCounter() - start, 500u);
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return silent.identityRequestsSeenBy (mute) == 2; },
                                  test::stepTimeoutMs));
    test::pumpUntil ([&]
                     { return juce::Time::getMillisecondCounter() - start > 2300; },
                     3000);

    // The silent keyboard is still asked; the one that answered was asked once.
    EXPECT_LE (silent.identityRequestsSeenBy (mute), 3);
    EXPECT_TRUE (silent.engine->getDetection()->isPolling());
    EXPECT_EQ (silent.manager->getNumPrivateInputs(), 1); // one for the instance, not one a tick
    EXPECT_EQ (answering.identityRequestsSeenBy (answers), 1);
    EXPECT_EQ (answering.engine->getState().version, 1.16);
    EXPECT_EQ (silent.engine->getState().version, 0.0);
}

TEST (Detection, TheVersionTextRulesAndWhatIsNotAnIdentityReply)
{
    Rig rig;
    auto* detection = rig.engine->getDetection();
    auto& state = rig.engine->getState();

    auto feed = [&] (const Bytes& bytes)
    { detection->handleIncomingMidiMessage (nullptr, juce::MidiMessage (bytes.data(), (int) bytes.size())); };

    auto longer = identityReply ({ 0, 1, 2, 0 });
    longer.insert (longer.end() - 1, 0x00);
    auto otherDevice = identityReply ({ 0, 1, 2, 0 });
    otherDevice[2] = 0x10;
    feed (longer);
    feed (Bytes (otherDevice.begin(), otherDevice.begin() + 15));
    feed (otherDevice);
    feed ({ 0x90, 0x40, 0x40 });
    test::pumpPending();
    EXPECT_EQ (state.version, 0.0);
    EXPECT_TRUE (detection->isPolling());

    // A stopped detection still hears replies; each is read when delivered.
    feed (identityReply ({ 0, 1, 0, 16 }));
    feed (identityReply ({ 0, 1, 1, 5 }));
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return rig.listener.versions.size() == 2; }));
    EXPECT_EQ (state.version, 1.15);
    EXPECT_FALSE (detection->isPolling());
    EXPECT_EQ (rig.listener.versions, (std::vector<double> { 1.15, 1.15 }));

    feed (identityReply ({ 0, 1, 1, 6 }));
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return state.version == 1.16; }));
}

TEST (Detection, InEmergencyModeOnlyOpensThePortsAndStops)
{
    using Layout = SimulatedKeyboard::Layout;

    // In its update mode the keyboard answers nothing, so under newer-style names its
    // first port is the output that carries its model's name.
    const std::pair<Layout, const char*> cases[] = { { Layout::classDriver, "MORELTA61" }, { Layout::newStyleNames, "MORELTA61 MIDI" } };

    for (auto& [layout, port1] : cases)
    {
        SCOPED_TRACE (port1);
        Rig rig;
        rig.engine->setEmergencyMode (true);
        SimulatedKeyboard keyboard (rig.ports, keyboardSettings (61, 1.15, layout));

        ASSERT_TRUE (test::pumpUntil ([&]
                                      { return ! rig.engine->getDetection()->isPolling(); },
                                      test::stepTimeoutMs));
        EXPECT_EQ (rig.engine->getState().port1Name, port1);
        EXPECT_EQ (rig.manager->getNumOpenInputs(), layout == Layout::classDriver ? 2 : 3);
        EXPECT_EQ (rig.manager->getNumOpenOutputs(), 1);
        EXPECT_EQ (rig.engine->getState().model, HardwareModel::morelta61);

        test::pumpFor (100);
        EXPECT_EQ (rig.identityRequestsSeenBy (keyboard), 0);
        EXPECT_EQ (rig.engine->getState().version, 0.0);
    }
}

TEST (Detection, AKeyboardPluggedInLateIsFoundAndOneUnpluggedKeepsItsNames)
{
    Rig rig;
    ASSERT_TRUE (test::pumpUntil ([&] // one tick with nothing there
                                  { return ! rig.listener.models.empty(); }));
    EXPECT_TRUE (rig.engine->getState().port1Name.isEmpty());
    EXPECT_EQ (rig.listener.models, std::vector<int> { HardwareModel::unknown });

    SimulatedKeyboard keyboard (rig.ports, keyboardSettings (25, 1.16));
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return rig.engine->getState().version == 1.16; },
                                  test::stepTimeoutMs));

    keyboard.unplug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return rig.manager->getNumOpenInputs() == 0; }));
    test::pumpFor (1100);
    EXPECT_EQ (rig.engine->getState().port1Name, "MORELTA25");
    EXPECT_EQ (rig.listener.models.back(), HardwareModel::morelta25);

    keyboard.plug();
    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return rig.manager->getNumOpenInputs() == 2 && rig.manager->getNumOpenOutputs() == 1; }));
}

TEST (Detection, OfTwoKeyboardsTheFirstListedWinsButNoUpdateOrRestoreStarts)
{
    Rig rig;
    SimulatedKeyboard first (rig.ports, keyboardSettings (61, 1.15));
    SimulatedKeyboard second (rig.ports, keyboardSettings (25, 1.16));

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return rig.engine->getState().version > 0.0; },
                                  test::stepTimeoutMs));
    EXPECT_EQ (rig.engine->getState().port1Name, "MORELTA61");
    EXPECT_EQ (rig.engine->getState().model, HardwareModel::morelta61);
    EXPECT_EQ (rig.engine->getState().version, 1.15);

    // One would be backed up and both flashed.
    EXPECT_EQ (rig.engine->checkUpdateCanStart(), ApplicationEngine::Refusal::severalKeyboards);
    EXPECT_FALSE (rig.engine->beginUpdate());
    rig.engine->setEmergencyMode (true);
    EXPECT_EQ (rig.engine->checkUpdateCanStart(), ApplicationEngine::Refusal::severalKeyboards);
    EXPECT_EQ (first.getLog().indexOf ("update mode"), -1);
    EXPECT_EQ (second.getLog().indexOf ("update mode"), -1);

    second.unplug();
    EXPECT_NE (rig.engine->checkUpdateCanStart(), ApplicationEngine::Refusal::severalKeyboards);
}

TEST (Detection, CountsKeyboardsThroughTheMarksThatTellIdenticalDevicesApart)
{
    const std::pair<juce::StringArray, int> cases[] = {
        { {}, 0 },
        { { "Microsoft GS Wavetable Synth", "MORELTA49", "MIDIOUT2 (MORELTA49)", "MIDIOUT3 (MORELTA49)" }, 1 },
        { { "MORELTA49", "MIDIOUT2 (MORELTA49)", "2- MORELTA49", "MIDIOUT2 (2- MORELTA49)" }, 2 },
        { { "MORELTA49 MIDI", "MORELTA49 DAW", "MORELTA49 MIDI-2", "MORELTA49 DAW-2" }, 2 },
        { { "MORELTA49", "MORELTA49" }, 2 },
        { { "MORELTA25", "MORELTA61 USB PORT 1" }, 2 },
        { { "MORELTA61 USB PORT 1", "MORELTA61 USB PORT 2", "MORELTA61 USB PORT 3" }, 1 },
        { { "Morelta49 Midi", "MORELTA49 MIDI-12" }, 2 },
        { { "2- MORELTA49", "MIDIOUT2 (2- MORELTA49)", "MIDIOUT3 (2- MORELTA49)" }, 1 },
        { { "MORELTA49 (2) MIDI", "MORELTA49 (2) DAW", "MORELTA49 MIDI" }, 2 },
        { { "MORELTA25", "MIDIOUT2 (MORELTA25)", "2- MORELTA25 USB PORT 1", "2- MORELTA25 USB PORT 2" }, 2 },
        { { "MIDIOUT2 (2 - MORELTA61)", "2 - MORELTA61", "MORELTA61" }, 2 },
    };

    for (auto& [names, keyboards] : cases)
        EXPECT_EQ (KeyboardPortNames::countKeyboards (names), keyboards) << names.joinIntoString (" | ");
}

TEST (Detection, KeepsEveryPortNameAsListedFromTheScanToTheOpens)
{
    // Names in mixed case, as a driver may give them: the scan finds them in upper case,
    // but keeps, and opens, each name exactly as the system lists it.
    struct Case
    {
        const char* inputs[2];
        const char* output;
        const char* port1;
        const char* port3;
        int openInputs;
    };

    const Case cases[] = {
        { { "Morelta49 USB Port 1", "Morelta49 USB Port 3" }, "Morelta49 USB Port 1", "Morelta49 USB Port 1", "", 1 },
        { { "MORELTA61", "MIDIIN3 (Morelta61)" }, "MORELTA61", "MORELTA61", "MIDIIN3 (Morelta61)", 2 },
    };

    std::vector<std::unique_ptr<Rig>> rigs;

    for (auto& c : cases)
    {
        rigs.push_back (std::make_unique<Rig>());

        for (auto* name : c.inputs)
            rigs.back()->ports->addInputPort (name);

        rigs.back()->ports->addOutputPort (c.output, [] (const juce::MidiMessage&) {});
    }

    ASSERT_TRUE (test::pumpUntil ([&]
                                  { return std::all_of (rigs.begin(), rigs.end(), [] (auto& r)
                                                        { return r->manager->getNumOpenOutputs() == 1; }); },
                                  test::stepTimeoutMs));

    for (size_t i = 0; i < std::size (cases); ++i)
    {
        SCOPED_TRACE (cases[i].port1);
        EXPECT_EQ (rigs[i]->engine->getState().port1Name, cases[i].port1);
        EXPECT_EQ (rigs[i]->engine->getState().port3Name, cases[i].port3);
        EXPECT_EQ (rigs[i]->manager->getNumOpenInputs(), cases[i].openInputs);
    }
}

TEST (Detection, ResetsWhileRepliesPourInCallNoDeletedDetection)
{
    Rig rig;
    const auto input = rig.ports->addInputPort ("MIDIIN3 (MORELTA49)");
    rig.manager->openMidiInput ("MIDIIN3 (MORELTA49)");

    std::atomic<bool> stop { false };
    const auto reply = identityReply ({ 0, 1, 1, 6 });
    std::thread device ([&]
                        {
                            for (int sent = 0; sent < 5000 && ! stop; ++sent)
                            {
                                rig.ports->sendFromDevice (input, juce::MidiMessage (reply.data(), (int) reply.size()));
                                std::this_thread::yield();
                            } });

    for (int i = 0; i < 200; ++i)
    {
        rig.engine->reset (i % 2 == 0);
        test::pumpFor (1);
    }

    stop = true;
    device.join();

    // The last detection still hears the keyboard.
    rig.engine->reset (true);
    rig.engine->getState().version = 0.0;
    rig.ports->sendFromDevice (input, juce::MidiMessage (reply.data(), (int) reply.size()));
    EXPECT_TRUE (test::pumpUntil ([&]
                                  { return rig.engine->getState().version == 1.16; }));
}
