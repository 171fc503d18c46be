#include "sim/SimulatedKeyboard.h"

#include "sim/FirmwareBlockCounter.h"

namespace
{
// The keyboard's own constants, kept apart from the updater's message code.
constexpr int globalIds[] = { 0x12, 0x13, 0x14, 0x15, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1F, 0x20, 0x1D, 0x22, 0x1E };
constexpr juce::uint8 otherManufacturer = 0x43;

bool startsWith (const std::vector<juce::uint8>& bytes, std::initializer_list<int> prefix)
{
    if (bytes.size() < prefix.size())
        return false;

    return std::equal (prefix.begin(), prefix.end(), bytes.begin(), [] (int p, juce::uint8 b)
                       { return p == b; });
}
} // namespace

//==============================================================================
bool SimulatedKeyboard::Settings::isOption (const juce::String& name)
{
    return juce::StringArray { "--model", "--layout", "--update-mode-layout", "--port-number", "--firmware", "--profile", "--seed" }.contains (name);
}

bool SimulatedKeyboard::Settings::applyOption (const juce::String& name, const juce::String& value)
{
    if (name == "--model" && (value == "25" || value == "49" || value == "61"))
        keys = value.getIntValue();
    else if (name == "--layout" && (value == "class" || value == "private" || value == "new"))
        layout = value == "class" ? Layout::classDriver : (value == "private" ? Layout::privateDriver : Layout::newStyleNames);
    else if (name == "--update-mode-layout" && (value == "class" || value == "new"))
        updateModeLayout = value == "class" ? Layout::classDriver : Layout::newStyleNames;
    else if (name == "--port-number" && value.containsOnly ("0123456789") && value.getIntValue() >= 1 && value.getIntValue() <= 99)
        portNumber = value.getIntValue();
    else if (name == "--firmware" && value.containsOnly ("0123456789.") && value.getDoubleValue() > 0.0)
        firmwareVersion = value.getDoubleValue();
    else if (name == "--profile" && Timing::named (value).has_value())
        timing = *Timing::named (value);
    else if (name == "--seed" && value.containsOnly ("0123456789") && value.isNotEmpty())
        seed = (juce::uint32) value.getLargeIntValue();
    else
        return false;

    return true;
}

std::optional<SimulatedKeyboard::Timing> SimulatedKeyboard::Timing::named (const juce::String& profile)
{
    if (profile == "fast")
        return Timing {};

    if (profile == "realistic")
        return Timing { 2, 0, 1500, 4000, 200000 };

    return {};
}

SimulatedKeyboard::UserData SimulatedKeyboard::makeUserData (juce::uint32 seed)
{
    juce::Random random ((juce::int64) seed);
    UserData made;

    for (auto id : globalIds)
        for (auto& value : made.globals[id])
            value = (juce::uint8) random.nextInt (128);

    made.presets.resize (numPresets);

    for (auto& preset : made.presets)
    {
        preset.resize (presetDataMessages * payloadBytesPerMessage);

        for (auto& byte : preset)
            byte = (juce::uint8) random.nextInt (128);
    }

    return made;
}

SimulatedKeyboard::UserData SimulatedKeyboard::factoryDataFor (int keys)
{
    return makeUserData (0x0FAC7000u + (juce::uint32) keys);
}

//==============================================================================
SimulatedKeyboard::SimulatedKeyboard (VirtualMidiPortSystem::Ptr portSystem, Settings s, SimulatedPrivateDriver::Ptr driver)
    : juce::Thread ("Simulated MORELTA keyboard")
    , ports (std::move (portSystem))
    , privateDriver (std::move (driver))
    , settings (std::move (s))
    , modelCode (settings.keys == 25 ? 0x2F : (settings.keys == 61 ? 0x30 : 0x2E))
    , spent (settings.faults.size(), false)
    , version (settings.firmwareVersion)
    , data (makeUserData (settings.seed))
{
    jassert (settings.keys == 25 || settings.keys == 49 || settings.keys == 61);
    jassert (settings.replyInput >= 0 && settings.replyInput <= 3);

    if (settings.traceFile != juce::File())
        trace = std::make_unique<TrafficTrace> (settings.traceFile, [this]
                                                { return ports->getMicroseconds(); });

    updateMode = settings.startsInUpdateMode;

    if (settings.layout == Layout::privateDriver && privateDriver != nullptr)
    {
        // The driver reads what the keyboard sends in USB-sized pieces, each message on
        // its own: the client must put longer messages together.
        SimulatedPrivateDriver::InstanceSettings instance;
        instance.keyWord2 = (juce::uint32) settings.keys;
        instance.id = { 0x4D, 0x4F, 0x52, 0x45, 0x4C, 0x54, 0x41, (juce::uint8) settings.keys };
        instance.id[15] = (juce::uint8) settings.seed;
        instance.bytesPerRead = 12;
        privateInstance = privateDriver->addInstance (instance);
    }

    startThread();
    plug();
}

SimulatedKeyboard::~SimulatedKeyboard()
{
    signalThreadShouldExit();

    {
        const std::lock_guard<std::mutex> guard (inboxMutex);
    }

    inboxChanged.notify_all();
    notify();
    waitForThreadToExit (-1);
    unplug();
}

juce::String SimulatedKeyboard::getModelName() const
{
    return "MORELTA" + juce::String (settings.keys);
}

juce::StringArray SimulatedKeyboard::getInputNames() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return portNames (true);
}

juce::StringArray SimulatedKeyboard::getOutputNames() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return portNames (false);
}

juce::StringArray SimulatedKeyboard::portNames (bool inputs) const
{
    const auto layout = updateMode && settings.updateModeLayout.has_value() ? *settings.updateModeLayout : settings.layout;
    const auto numbered = settings.portNumber > 1;

    // WinMM numbers the device's name in front, Windows' newer style after it.
    const auto device = numbered && layout != Layout::newStyleNames ? juce::String (settings.portNumber) + "- " + getModelName() : getModelName();
    const auto newStyleDevice = numbered ? getModelName() + " (" + juce::String (settings.portNumber) + ")" : getModelName();
    juce::StringArray names;

    for (int n = 1; n <= 3; ++n)
    {
        if (layout == Layout::privateDriver)
            names.add (device + " USB PORT " + juce::String (n));
        else if (layout == Layout::newStyleNames)
            names.add (newStyleDevice + juce::StringArray { " MIDI", " DAW", " EDITOR" }[n - 1]);
        else
            names.add (n == 1 ? device : (inputs ? "MIDIIN" : "MIDIOUT") + juce::String (n) + " (" + device + ")");
    }

    return names;
}

void SimulatedKeyboard::plug()
{
    const std::lock_guard<std::mutex> guard (stateMutex);

    if (! inputIds.empty())
        return;

    for (auto& name : portNames (true))
        inputIds.push_back (ports->addInputPort (name));

    for (auto& name : portNames (false))
        outputIds.push_back (ports->addOutputPort (name, [this, name] (const juce::MidiMessage& m)
                                                   { receive (name, m); }));

    if (settings.replyInput > 0 || settings.layout != Layout::privateDriver)
    {
        const auto reply = settings.replyInput > 0 ? settings.replyInput : 3;
        replyInputId = inputIds[(size_t) reply - 1];
        replyInputName = portNames (true)[reply - 1];
    }
    else
    {
        replyInputId = 0;
        replyInputName = getModelName() + " USB PORT " + juce::String (privateReplyPort + 1) + " (private driver)";
    }

    if (privateDriver != nullptr && privateInstance >= 0)
        privateDriver->attach (privateInstance);
}

void SimulatedKeyboard::unplug()
{
    std::vector<int> ids;

    {
        const std::lock_guard<std::mutex> guard (stateMutex);
        ids = inputIds;
        ids.insert (ids.end(), outputIds.begin(), outputIds.end());
        inputIds.clear();
        outputIds.clear();
    }

    if (privateDriver != nullptr && privateInstance >= 0)
        privateDriver->detach (privateInstance);

    for (auto id : ids)
        ports->removePort (id);

    // What was on its way through the cable is lost with it.
    const std::lock_guard<std::mutex> guard (inboxMutex);
    inbox.clear();
}

bool SimulatedKeyboard::isPlugged() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return ! inputIds.empty();
}

bool SimulatedKeyboard::isInUpdateMode() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return updateMode;
}

double SimulatedKeyboard::getFirmwareVersion() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return version;
}

SimulatedKeyboard::UserData SimulatedKeyboard::getUserData() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return data;
}

std::optional<SimulatedKeyboard::UserData> SimulatedKeyboard::getUserDataBeforeUpdate() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return dataBeforeUpdate;
}

std::vector<juce::uint8> SimulatedKeyboard::getFlashedImage (FirmwareStreamChecker::Image image) const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    const auto it = flashed.find (image);
    return it != flashed.end() ? it->second : Bytes();
}

juce::StringArray SimulatedKeyboard::getRejections() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return rejections;
}

juce::StringArray SimulatedKeyboard::getLog() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    return events;
}

void SimulatedKeyboard::log (const juce::String& event)
{
    const std::lock_guard<std::mutex> guard (stateMutex);
    events.add (event);
}

//==============================================================================
void SimulatedKeyboard::waitForLink (size_t bytes) const
{
    if (settings.timing.linkBytesPerSecond > 0)
        std::this_thread::sleep_for (std::chrono::microseconds ((juce::int64) bytes * 1000000 / settings.timing.linkBytesPerSecond));
}

void SimulatedKeyboard::receive (const juce::String& port, const juce::MidiMessage& message)
{
    // Runs on the updater's sending thread: the write returns once the bytes have crossed.
    const auto* raw = message.getRawData();
    const auto size = (size_t) message.getRawDataSize();

    if (trace != nullptr)
        trace->write (true, port, raw, size);

    waitForLink (size);

    {
        const std::lock_guard<std::mutex> guard (inboxMutex);
        inbox.emplace_back (raw, raw + size);
    }

    inboxChanged.notify_all();
}

void SimulatedKeyboard::run()
{
    for (;;)
    {
        std::unique_lock<std::mutex> guard (inboxMutex);

        if (threadShouldExit())
            return;

        const auto now = juce::Time::getMillisecondCounter();

        if (returnAtMs.has_value() && now >= *returnAtMs)
        {
            returnAtMs.reset();
            guard.unlock();
            log ("back");
            plug();
            continue;
        }

        if (! inbox.empty())
        {
            const auto message = std::move (inbox.front());
            inbox.pop_front();
            guard.unlock();

            if (settings.timing.processingMs > 0)
                wait (settings.timing.processingMs);

            handle (message);
            continue;
        }

        if (returnAtMs.has_value())
            inboxChanged.wait_for (guard, std::chrono::milliseconds (*returnAtMs - now));
        else
            inboxChanged.wait (guard);
    }
}

void SimulatedKeyboard::handle (const Bytes& message)
{
    if (isInUpdateMode())
        handleInUpdateMode (message);
    else
        handleInNormalMode (message);
}

//==============================================================================
SimulatedKeyboard::Bytes SimulatedKeyboard::header() const
{
    return { 0xF0, 0x47, 0x00, modelCode };
}

SimulatedKeyboard::Bytes SimulatedKeyboard::identityReply() const
{
    const auto hundredths = juce::roundToInt (getFirmwareVersion() * 100.0);
    const auto major = hundredths / 100, minor = hundredths % 100;

    Bytes reply { 0xF0, 0x7E, 0x00, 0x06, 0x02, 0x47, modelCode, 0x19, 0x00 };
    reply.insert (reply.end(), { (juce::uint8) (major / 10), (juce::uint8) (major % 10), (juce::uint8) (minor / 10), (juce::uint8) (minor % 10) });
    reply.resize (34, 0x00);
    reply.push_back (0xF7);
    return reply;
}

void SimulatedKeyboard::handleInNormalMode (const Bytes& m)
{
    // The user's data comes back after the new firmware, or, put back from a backup
    // folder, from its first global setting on.
    restoreBegun = restoreBegun || rebooted || (m.size() == 14 && startsWith (m, { 0xF0, 0x47, 0x00, modelCode, 0x04, 0x02, 0x00, 0x05 }));

    if (restoreBegun)
    {
        const auto n = messagesSinceReboot++;

        if (auto* fault = takeFault (KeyboardFault::Kind::unplug, KeyboardFault::Point::restore, n))
        {
            log ("unplugged at restore message " + juce::String (n));
            unplug();
            replugAfter (fault->delayMs);
            return;
        }

        if (takeFault (KeyboardFault::Kind::drop, KeyboardFault::Point::restore, n) != nullptr)
        {
            log ("lost restore message " + juce::String (n));
            return;
        }

        if (auto* fault = takeFault (KeyboardFault::Kind::corrupt, KeyboardFault::Point::restore, n))
            corruptTarget = { targetOf (m), fault->repeats };
    }

    // The universal Identity Request, to this device or to all.
    if (m.size() == 6 && startsWith (m, { 0xF0, 0x7E }) && startsWith ({ m[3], m[4], m[5] }, { 0x06, 0x01, 0xF7 })
        && (m[2] == 0x7F || m[2] == 0x00))
    {
        answerIdentityRequest();
        return;
    }

    // Anything else must be one of the maker's messages for this model, well formed.
    if (m.size() < 9 || ! startsWith (m, { 0xF0, 0x47, 0x00, modelCode }) || m.back() != 0xF7
        || (m[6] << 8 | m[7]) != (int) m.size() - 9)
        return;

    const auto command = m[4] << 8 | m[5];
    const auto length = m.size() - 9;

    if (command == 0x0402 && length == 1)
    {
        answerGlobalRequest (m[8]);
    }
    else if (command == 0x0402 && length == 5)
    {
        storeRestoredMessage (m);
    }
    else if (command == 0x0401 && length == 5 && startsWith ({ m.begin() + 8, m.end() }, { 0x03, 0x40, 0x00, 0x00 }))
    {
        if (m[12] < numPresets)
        {
            selectedPreset = m[12];
            restoringPreset = m[12];
            restoredPresetData.clear();
            restoredPresetMessages = 0;
        }
    }
    else if (command == 0x0401 && length == 5 && startsWith ({ m.begin() + 8, m.end() }, { 0x25, 0x40, 0x00, 0x00, 0x05 }))
    {
        restoringPreset.reset();
        dumpPreset();
    }
    else if ((command == 0x0407 && length == 7 && m[8] == 0x00 && m[9] == 0x05) || (command == 0x0408 && length == 0))
    {
        storeRestoredMessage (m);
    }
    else if (command == 0x0600 && length == 1 && m[8] == 0x00)
    {
        if (auto* fault = takeFault (KeyboardFault::Kind::drop, KeyboardFault::Point::updateMode))
        {
            log ("lost " + fault->toString());
        }
        else if (auto* bounce = takeFault (KeyboardFault::Kind::bounce, KeyboardFault::Point::updateMode))
        {
            // Gone and back in its firmware, as a USB glitch leaves it.
            log ("bounced " + bounce->toString());
            unplug();
            replugAfter (bounce->delayMs);
        }
        else
        {
            enterUpdateMode();
        }
    }
}

void SimulatedKeyboard::answerIdentityRequest()
{
    const auto n = identityRequests++;
    log ("identity request");
    answer (identityReply(), KeyboardFault::Point::identity, n);
}

void SimulatedKeyboard::answerGlobalRequest (int id)
{
    const auto n = globalRequests++;
    std::array<juce::uint8, 4> value;

    {
        const std::lock_guard<std::mutex> guard (stateMutex);
        const auto it = data.globals.find (id);

        if (it == data.globals.end())
            return;

        value = it->second;
    }

    auto reply = header();
    reply.insert (reply.end(), { 0x04, 0x02, 0x00, 0x05, (juce::uint8) id, value[0], value[1], value[2], value[3], 0xF7 });
    answer (reply, KeyboardFault::Point::global, n);
}

void SimulatedKeyboard::dumpPreset()
{
    const auto preset = selectedPreset;
    Bytes payload;

    {
        const std::lock_guard<std::mutex> guard (stateMutex);
        payload = data.presets[(size_t) preset];
    }

    for (int n = 0; n < presetDataMessages && ! threadShouldExit(); ++n)
    {
        auto reply = header();
        reply.insert (reply.end(), { 0x04, 0x07, 0x00, 0x07, 0x00, 0x05 });
        const auto* bytes = payload.data() + n * payloadBytesPerMessage;
        reply.insert (reply.end(), bytes, bytes + payloadBytesPerMessage);
        reply.push_back (0xF7);

        if (! answer (reply, KeyboardFault::Point::preset, preset, n))
            return;
    }
}

std::pair<int, int> SimulatedKeyboard::targetOf (const Bytes& m) const
{
    // A global setting by its id; a Preset Data message by its preset and its place in it.
    if (m.size() > 8 && m[5] == 0x02)
        return { -1, m[8] };

    return { restoringPreset.value_or (-2), restoredPresetMessages };
}

void SimulatedKeyboard::storeRestoredMessage (const Bytes& written)
{
    auto m = written;

    // A memory cell that does not keep what is written to it: the last value byte comes out
    // changed, once or every time that place is written.
    if (corruptTarget.has_value() && corruptTarget->first == targetOf (m) && (m[5] == 0x02 || m[5] == 0x07))
    {
        m[m.size() - 2] ^= 0x01;
        log ("stored restore message with a byte changed");

        if (! corruptTarget->second)
            corruptTarget.reset();
    }

    const auto command = m[4] << 8 | m[5];
    const std::lock_guard<std::mutex> guard (stateMutex);

    if (command == 0x0402)
    {
        const auto it = data.globals.find (m[8]);

        if (it != data.globals.end())
            std::copy (m.begin() + 9, m.begin() + 13, it->second.begin());
    }
    else if (command == 0x0407 && restoringPreset.has_value())
    {
        restoredPresetData.insert (restoredPresetData.end(), m.begin() + 10, m.begin() + 15);
        ++restoredPresetMessages;
    }
    else if (command == 0x0408 && restoringPreset.has_value())
    {
        // A preset is written to its place only once all of it has arrived.
        if (restoredPresetMessages == presetDataMessages)
            data.presets[(size_t) *restoringPreset] = restoredPresetData;
        else
            events.add ("incomplete preset " + juce::String (*restoringPreset) + ": " + juce::String (restoredPresetMessages) + " messages");

        restoringPreset.reset();
    }
}

bool SimulatedKeyboard::answer (Bytes message, KeyboardFault::Point point, int index, int subIndex)
{
    if (silenced)
        return false;

    for (auto& fault : settings.faults)
    {
        if (fault.kind == KeyboardFault::Kind::silent && fault.isFrom (point, index, subIndex))
        {
            silenced = true;
            log ("silent from " + fault.toString());
            return false;
        }
    }

    if (auto* fault = takeFault (KeyboardFault::Kind::unplug, point, index, subIndex))
    {
        log ("unplugged at " + fault->toString());
        unplug();
        replugAfter (fault->delayMs);
        return false;
    }

    if (auto* pause = findFault (KeyboardFault::Kind::pause, point, index, subIndex))
    {
        log ("paused " + pause->toString());
        wait (pause->delayMs);
    }

    if (settings.timing.replyLatencyMs > 0)
        wait (settings.timing.replyLatencyMs);

    if (auto* drop = takeFault (KeyboardFault::Kind::drop, point, index, subIndex))
    {
        log ("lost " + drop->toString());
        return true;
    }

    auto copies = 1;

    if (auto* doubled = takeFault (KeyboardFault::Kind::doubled, point, index, subIndex))
    {
        log ("doubled " + doubled->toString());
        copies = 2;
    }

    if (auto* fault = findFault (KeyboardFault::Kind::malformed, point, index, subIndex))
    {
        log ("answered " + fault->toString());

        switch (fault->malformation)
        {
            case KeyboardFault::Malformation::wrongLength:
                message.insert (message.end() - 1, 0x00);
                break;
            case KeyboardFault::Malformation::wrongModel:
                message[point == KeyboardFault::Point::identity ? 6 : 3] = (modelCode == 0x30 ? 0x2E : 0x30);
                break;
            case KeyboardFault::Malformation::nonSysex:
                message = { 0x90, 0x3C, 0x40 };
                break;
            case KeyboardFault::Malformation::duplicate:
                copies = 2;
                break;
            case KeyboardFault::Malformation::truncated:
                message.resize (message.size() - 3);
                break;
            case KeyboardFault::Malformation::foreign:
                message[point == KeyboardFault::Point::identity ? 5 : 1] = otherManufacturer;
                break;
        }
    }

    for (int i = 0; i < copies; ++i)
        send (message);

    return true;
}

void SimulatedKeyboard::send (const Bytes& message)
{
    int id = 0;
    juce::String portName;

    {
        const std::lock_guard<std::mutex> guard (stateMutex);

        if (inputIds.empty())
            return;

        id = replyInputId;
        portName = replyInputName;
    }

    waitForLink (message.size());

    if (trace != nullptr)
        trace->write (false, portName, message.data(), message.size());

    if (id != 0)
        ports->sendFromDevice (id, juce::MidiMessage (message.data(), (int) message.size()));
    else if (privateDriver != nullptr && privateInstance >= 0)
        privateDriver->capture (privateInstance, privateReplyPort, message);
}

const KeyboardFault* SimulatedKeyboard::takeFault (KeyboardFault::Kind kind, KeyboardFault::Point point, int index, int subIndex)
{
    for (size_t i = 0; i < settings.faults.size(); ++i)
    {
        const auto& fault = settings.faults[i];

        if (fault.kind != kind || ! fault.isAt (point, index, subIndex) || spent[i])
            continue;

        spent[i] = fault.firesOnce();
        return &fault;
    }

    return nullptr;
}

void SimulatedKeyboard::replugAfter (int delayMs)
{
    if (delayMs <= 0)
        return;

    const std::lock_guard<std::mutex> guard (inboxMutex);
    returnAtMs = juce::Time::getMillisecondCounter() + (juce::uint32) delayMs;
}

const KeyboardFault* SimulatedKeyboard::findFault (KeyboardFault::Kind kind, KeyboardFault::Point point, int index, int subIndex) const
{
    for (auto& fault : settings.faults)
        if (fault.kind == kind && fault.isAt (point, index, subIndex))
            return &fault;

    return nullptr;
}

//==============================================================================
void SimulatedKeyboard::enterUpdateMode()
{
    {
        const std::lock_guard<std::mutex> guard (stateMutex);
        dataBeforeUpdate = data;
        versionBeforeUpdate = version;
        updateMode = true;
        appAcceptedThisSession = false;
    }

    log ("update mode");
    restart (KeyboardFault::Point::updateMode, settings.timing.updateModeEntryMs);
}

void SimulatedKeyboard::restart (KeyboardFault::Point point, int delayMs)
{
    unplug();
    stream.clear();

    const auto* unplugged = takeFault (KeyboardFault::Kind::unplug, point);

    if (findFault (KeyboardFault::Kind::noReturn, point) != nullptr || (unplugged != nullptr && unplugged->delayMs == 0))
    {
        log ("stays away");
        return;
    }

    if (unplugged != nullptr)
        delayMs += unplugged->delayMs;

    if (auto* late = findFault (KeyboardFault::Kind::lateReturn, point))
        delayMs += late->delayMs;

    const std::lock_guard<std::mutex> guard (inboxMutex);
    returnAtMs = juce::Time::getMillisecondCounter() + (juce::uint32) juce::jmax (0, delayMs);
}

void SimulatedKeyboard::handleInUpdateMode (const Bytes& write)
{
    if (FirmwareBlockCounter::startsStream (write.data(), write.size()))
    {
        if (! stream.empty())
        {
            const std::lock_guard<std::mutex> guard (stateMutex);
            rejections.add ("stream interrupted by a new one");
        }

        stream.clear();
        streamWrites = 0;
        streamImage = FirmwareBlockCounter::imageOf (write.data(), write.size());
    }
    else if (stream.empty())
    {
        log ("stray bytes in update mode");
        return;
    }

    const auto point = streamImage == FirmwareStreamChecker::Image::assets ? KeyboardFault::Point::assetsBlock
                                                                           : KeyboardFault::Point::appBlock;
    const auto n = streamWrites++;

    // Lost on the link: the loader never sees these bytes, and without the first write
    // it never sees the stream start.
    if (auto* drop = takeFault (KeyboardFault::Kind::drop, point, n))
    {
        log ("lost " + drop->toString());

        if (n == 0)
            stream.clear();

        return;
    }

    if (auto* fault = takeFault (KeyboardFault::Kind::unplug, point, n))
    {
        log ("unplugged at " + fault->toString());
        stream.clear();

        {
            // Firmware cut short: it comes back in its update mode, for both images anew.
            const std::lock_guard<std::mutex> guard (stateMutex);
            appAcceptedThisSession = false;
        }

        unplug();
        replugAfter (fault->delayMs);
        return;
    }

    stream.insert (stream.end(), write.begin(), write.end());

    // Text bytes are below 0x80, so an F7 can only close the stream.
    if (write.back() == 0xF7)
        finishStream();
}

void SimulatedKeyboard::finishStream()
{
    const auto result = FirmwareStreamChecker::check (stream);
    const auto name = result.image == FirmwareStreamChecker::Image::app ? juce::String ("app") : juce::String ("assets");
    bool rebootNow = false;

    {
        const std::lock_guard<std::mutex> guard (stateMutex);

        if (! result.accepted)
        {
            rejections.add (result.reason);
            events.add ("stream rejected: " + result.reason);
        }
        else
        {
            flashed[result.image] = stream;
            events.add (name + " flashed");

            if (result.image == FirmwareStreamChecker::Image::app)
                appAcceptedThisSession = true;
            else
                rebootNow = appAcceptedThisSession;
        }
    }

    stream.clear();

    // A loader that refuses an image starts again from the beginning: the keyboard
    // restarts into its update mode and waits for both images anew.
    if (! result.accepted)
    {
        {
            const std::lock_guard<std::mutex> guard (stateMutex);
            appAcceptedThisSession = false;
        }

        restart (KeyboardFault::Point::updateMode, settings.timing.updateModeEntryMs);
        return;
    }

    if (! rebootNow)
        return;

    {
        // The new firmware starts with its own factory data.
        const std::lock_guard<std::mutex> guard (stateMutex);
        updateMode = false;
        version = newFirmwareVersion;
        data = factoryDataFor (settings.keys);
        appAcceptedThisSession = false;
    }

    rebooted = true;
    messagesSinceReboot = 0;

    // Unseen only where its names stay: ports listed under other names in its update
    // mode are the system's to list anew.
    if (findFault (KeyboardFault::Kind::unseen, KeyboardFault::Point::reboot) != nullptr && ! settings.updateModeLayout.has_value())
    {
        log ("reboot, its ports kept");
        return;
    }

    log ("reboot");
    restart (KeyboardFault::Point::reboot, settings.timing.rebootMs);
}

//==============================================================================
juce::String SimulatedKeyboard::checkRestore() const
{
    const std::lock_guard<std::mutex> guard (stateMutex);

    if (! dataBeforeUpdate.has_value())
        return "the keyboard was never told to enter its update mode";

    for (auto& [id, value] : dataBeforeUpdate->globals)
        if (data.globals.at (id) != value)
            return "global setting 0x" + juce::String::toHexString (id).toUpperCase() + " was not restored";

    const auto factory = factoryDataFor (settings.keys);
    const auto oldFirmware = versionBeforeUpdate < 1.16;

    for (int place = 0; place < numPresets; ++place)
    {
        const auto& expected = ! oldFirmware || place < 6 ? dataBeforeUpdate->presets[(size_t) place]
                               : place < 8                ? factory.presets[(size_t) place]
                                                          : dataBeforeUpdate->presets[(size_t) place - 2];

        if (data.presets[(size_t) place] != expected)
            return "preset place " + juce::String (place) + " does not hold what the restore must leave there";
    }

    return {};
}
