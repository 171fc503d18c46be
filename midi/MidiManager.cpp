#include "midi/MidiManager.h"

#include "midi/NoPrivateDriverSystem.h"
#include "midi/PrivateMidiInput.h"

//==============================================================================
/** Hands one input's messages to the manager with the input's name. */
class MidiManager::InputCallback final : public juce::MidiInputCallback
{
public:
    InputCallback (MidiManager& m, const juce::String& name)
        : manager (m)
        , portName (name)
    {
    }

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override
    {
        manager.deliver (portName, source, message);
    }

private:
    MidiManager& manager;
    const juce::String portName;
};

//==============================================================================
/** Collects the names of one kind of port change and tells every listener on the
    message thread; several changes before the delivery arrive as one call.
*/
class MidiManager::PortChangeUpdater : public juce::AsyncUpdater
{
public:
    using Slot = void (Listener::*) (juce::StringArray);

    PortChangeUpdater (MidiManager& m, Slot s)
        : manager (m)
        , slot (s)
    {
    }
    ~PortChangeUpdater() override { cancelPendingUpdate(); }

    void add (const juce::String& portName)
    {
        {
            const juce::ScopedLock sl (pendingLock);
            pendingNames.addIfNotAlreadyThere (portName);
        }

        triggerAsyncUpdate();
    }

    void handleAsyncUpdate() override
    {
        juce::StringArray names;

        {
            const juce::ScopedLock sl (pendingLock);
            names.swapWith (pendingNames);
        }

        if (! names.isEmpty())
            manager.callListeners ([this, &names] (Listener& l)
                                   { (l.*slot) (names); });
    }

private:
    MidiManager& manager;
    const Slot slot;
    juce::CriticalSection pendingLock;
    juce::StringArray pendingNames;
};

class MidiManager::MidiInputDeviceDisconnectUpdater final : public PortChangeUpdater
{
public:
    explicit MidiInputDeviceDisconnectUpdater (MidiManager& m)
        : PortChangeUpdater (m, &Listener::midiInputDeviceDisconnected)
    {
    }
};

class MidiManager::MidiOutputDeviceDisconnectUpdater final : public PortChangeUpdater
{
public:
    explicit MidiOutputDeviceDisconnectUpdater (MidiManager& m)
        : PortChangeUpdater (m, &Listener::midiOutputDeviceDisconnected)
    {
    }
};

class MidiManager::MidiInputDeviceReconnectUpdater final : public PortChangeUpdater
{
public:
    explicit MidiInputDeviceReconnectUpdater (MidiManager& m)
        : PortChangeUpdater (m, &Listener::midiInputDeviceReconnected)
    {
    }
};

class MidiManager::MidiOutputDeviceReconnectUpdater final : public PortChangeUpdater
{
public:
    explicit MidiOutputDeviceReconnectUpdater (MidiManager& m)
        : PortChangeUpdater (m, &Listener::midiOutputDeviceReconnected)
    {
    }
};

//==============================================================================
MidiManager::MidiManager (MidiPortSystem::Ptr portSystem, PrivateDriverSystem::Ptr privateDriverSystem)
    : ports (std::move (portSystem))
    , inputDisconnectUpdater (std::make_unique<MidiInputDeviceDisconnectUpdater> (*this))
    , outputDisconnectUpdater (std::make_unique<MidiOutputDeviceDisconnectUpdater> (*this))
    , inputReconnectUpdater (std::make_unique<MidiInputDeviceReconnectUpdater> (*this))
    , outputReconnectUpdater (std::make_unique<MidiOutputDeviceReconnectUpdater> (*this))
    , privateDrivers (privateDriverSystem != nullptr ? std::move (privateDriverSystem) : new NoPrivateDriverSystem())
{
    jassert (ports != nullptr);
}

MidiManager::~MidiManager()
{
    stopTimer();

    inputDisconnectUpdater.reset();
    outputDisconnectUpdater.reset();
    inputReconnectUpdater.reset();
    outputReconnectUpdater.reset();

    openOutputs.clear();
    retiredOutputs.clear();

    for (auto& entry : openInputs)
        entry.input.port->stop();

    {
        const std::lock_guard<std::mutex> guard (listenerMutex);
        listeners.clear();
    }

    // Deleting an input waits for its delivery thread, which may still be on its way
    // through handleIncomingMidiMessage; with no listeners left it calls nobody.
    privateInputs.clear();
    openInputs.clear();
    retiredInputs.clear();
}

//==============================================================================
void MidiManager::addListener (Listener* listener)
{
    if (listener == nullptr)
        return;

    const std::lock_guard<std::mutex> guard (listenerMutex);
    listeners.addIfNotAlreadyThere (listener);
}

int MidiManager::getNumListeners()
{
    const std::lock_guard<std::mutex> guard (listenerMutex);
    return listeners.size();
}

void MidiManager::removeListener (Listener* listener)
{
    std::unique_lock<std::mutex> guard (listenerMutex);
    const auto index = listeners.indexOf (listener);

    if (index < 0)
        return;

    listeners.remove (index);

    for (auto* walk : activeWalks)
        if (index < walk->index)
            --walk->index;

    // A call already under way on another thread must end before the caller may assume
    // the listener is out of reach (it is usually about to be deleted). A listener that
    // removes itself from inside its own call does not wait for itself.
    const auto me = std::this_thread::get_id();

    listenerCallEnded.wait (guard, [&]
                            {
                                for (auto* walk : activeWalks)
                                    if (walk->current == listener && walk->thread != me)
                                        return false;

                                return true; });
}

template <typename Call>
void MidiManager::callListeners (Call&& call)
{
    std::unique_lock<std::mutex> guard (listenerMutex);
    ListenerWalk walk { listeners.size(), nullptr, std::this_thread::get_id() };
    activeWalks.add (&walk);

    // Last added first. Removals during the walk move walk.index (see removeListener),
    // so no listener is skipped or called twice.
    while (--walk.index >= 0)
    {
        walk.current = listeners.getUnchecked (walk.index);
        guard.unlock();
        call (*walk.current);
        guard.lock();
        walk.current = nullptr;
        listenerCallEnded.notify_all();
    }

    activeWalks.removeFirstMatchingValue (&walk);
}

void MidiManager::handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message)
{
    deliver ({}, source, message);
}

void MidiManager::deliver (const juce::String& portName, juce::MidiInput* source, const juce::MidiMessage& message)
{
    callListeners ([&] (Listener& l)
                   { l.handleIncomingMidiMessageFrom (portName, source, message); });
}

//==============================================================================
bool MidiManager::isInputOpen (const juce::String& portName) const
{
    return std::any_of (openInputs.begin(), openInputs.end(), [&] (auto& e)
                        { return e.name == portName; });
}

bool MidiManager::isOutputOpen (const juce::String& portName) const
{
    return std::any_of (openOutputs.begin(), openOutputs.end(), [&] (auto& e)
                        { return e.name == portName; });
}

void MidiManager::openMidiInput (const juce::String& portName)
{
    const auto names = ports->getInputNames();
    openListedInput (portName, names);

    {
        const juce::ScopedLock sl (lock);
        retryIfUnopened (portName, names, isInputOpen (portName), disconnectedInputNames, inputBackoffs);
    }

    pollWhileThereIsSomethingToWatch();
}

void MidiManager::openMidiOutput (const juce::String& portName)
{
    const auto names = ports->getOutputNames();
    openListedOutput (portName, names);

    {
        const juce::ScopedLock sl (lock);
        retryIfUnopened (portName, names, isOutputOpen (portName), disconnectedOutputNames, outputBackoffs);
    }

    pollWhileThereIsSomethingToWatch();
}

void MidiManager::retryIfUnopened (const juce::String& portName,
                                   const juce::StringArray& listedNames,
                                   bool opened,
                                   juce::StringArray& disconnectedNames,
                                   std::map<juce::String, ReopenBackoff>& backoffs)
{
    // A listed port that would not open (on Windows while another program holds it) is
    // tried again by the poll as one that came back, backing off, and its listeners hear
    // when it opens: the caller may not ask again (detection stops asking in emergency
    // mode, a sender waits to hear of its port).
    if (opened || ! listedNames.contains (portName) || disconnectedNames.contains (portName))
        return;

    disconnectedNames.add (portName);
    backoffs[portName] = { juce::Time::getMillisecondCounterHiRes() + firstReopenRetryMs, firstReopenRetryMs };
}

// The names are the port system's list taken last: it opens by index into that list.
void MidiManager::openListedInput (const juce::String& portName, const juce::StringArray& names)
{
    {
        const juce::ScopedLock sl (lock);

        if (isInputOpen (portName))
            return;
    }

    for (int i = 0; i < names.size(); ++i)
    {
        if (names[i] != portName)
            continue;

        auto callback = std::make_unique<InputCallback> (*this, portName);

        if (auto port = ports->openInput (i, *callback))
        {
            const juce::ScopedLock sl (lock);
            port->start();
            openInputs.push_back ({ portName, { std::move (callback), std::move (port) } });
            numOpenInputs = (int) openInputs.size();
        }
    }
}

void MidiManager::openListedOutput (const juce::String& portName, const juce::StringArray& names)
{
    {
        const juce::ScopedLock sl (lock);

        if (isOutputOpen (portName))
            return;
    }

    for (int i = 0; i < names.size(); ++i)
    {
        if (names[i] != portName)
            continue;

        if (auto output = ports->openOutput (i))
        {
            const juce::ScopedLock sl (lock);
            openOutputs.push_back ({ portName, std::move (output) });
            numOpenOutputs = (int) openOutputs.size();
        }
    }
}

void MidiManager::openPrivateMidiInput (const PrivateDeviceDescriptor& device)
{
    JUCE_ASSERT_MESSAGE_THREAD

    // One input per driver instance: a second would hand every reply on twice.
    for (auto& input : privateInputs)
        if (input->getDescriptor().isSameInstance (device))
            return;

    // Made without the lock: opening its ports waits for capture deliveries in progress,
    // and a listener may be sending (under the lock) from inside one.
    auto input = PrivateMidiInput::create (privateDrivers, device, *this);

    const juce::ScopedLock sl (lock);
    privateInputs.push_back (std::move (input));
    numPrivateInputs = (int) privateInputs.size();
}

void MidiManager::closePorts (const juce::String& portName)
{
    JUCE_ASSERT_MESSAGE_THREAD

    {
        const juce::ScopedLock sl (lock);
        closeMidiInput (portName);
        closeMidiOutput (portName);
    }

    disconnectedInputNames.removeString (portName);
    disconnectedOutputNames.removeString (portName);
    inputBackoffs.erase (portName);
    outputBackoffs.erase (portName);
    destroyRetiredPorts();
    pollWhileThereIsSomethingToWatch();
}

void MidiManager::pollWhileThereIsSomethingToWatch()
{
    // With no port open and none awaited the poll has nothing to do, and a window that
    // waits for a keyboard should cost next to nothing: detection lists the ports itself.
    const auto watching = numOpenInputs > 0 || numOpenOutputs > 0 || ! disconnectedInputNames.isEmpty() || ! disconnectedOutputNames.isEmpty();

    if (! watching)
        stopTimer();
    else if (! isTimerRunning())
        startTimer (pollIntervalMs);
}

void MidiManager::closeMidiInput (const juce::String& portName)
{
    const juce::ScopedLock sl (lock);

    // Stopped once the lock is let go (destroyRetiredPorts): on Windows stopping an input
    // waits for its MIDI thread, which may be inside a listener waiting for this lock.
    for (auto it = openInputs.begin(); it != openInputs.end();)
    {
        if (it->name == portName)
        {
            retiredInputs.push_back (std::move (it->input));
            it = openInputs.erase (it);
        }
        else
        {
            ++it;
        }
    }

    numOpenInputs = (int) openInputs.size();
}

void MidiManager::closeMidiOutput (const juce::String& portName)
{
    const juce::ScopedLock sl (lock);

    for (auto it = openOutputs.begin(); it != openOutputs.end();)
    {
        if (it->name == portName)
        {
            it->output->stopBackgroundThread();
            retiredOutputs.push_back (std::move (it->output));
            it = openOutputs.erase (it);
        }
        else
        {
            ++it;
        }
    }

    numOpenOutputs = (int) openOutputs.size();
}

void MidiManager::destroyRetiredPorts()
{
    std::vector<OpenInput> inputs;
    std::vector<std::shared_ptr<MidiPortSystem::OutputPort>> outputs;

    {
        const juce::ScopedLock sl (lock);
        inputs.swap (retiredInputs);
        outputs.swap (retiredOutputs);
    }

    for (auto& input : inputs)
        input.port->stop();
}

//==============================================================================
bool MidiManager::sendMessageToOutput (const juce::String& portName, const juce::MidiMessage& message)
{
    return sendToOutputs (&portName, message);
}

bool MidiManager::sendMessageToAllOutputs (const juce::MidiMessage& message)
{
    return sendToOutputs (nullptr, message);
}

bool MidiManager::sendToOutputs (const juce::String* portNameOrAll, const juce::MidiMessage& message)
{
    // One send at a time, so that no two messages interleave on a port. The ports' lock
    // is held only while the outputs are picked: the poll and the message thread never
    // wait for a message in flight, which over WinMM can take seconds. An output that the
    // poll closes meanwhile goes once this send has let go of it.
    const std::lock_guard<std::mutex> oneSendAtATime (sendMutex);
    std::vector<std::shared_ptr<MidiPortSystem::OutputPort>> outputs;

    {
        const juce::ScopedLock sl (lock);

        for (auto& entry : openOutputs)
            if (portNameOrAll == nullptr || entry.name == *portNameOrAll)
                outputs.push_back (entry.output);
    }

    bool allTookIt = true;

    // Every port gets the message, even after another refused it.
    for (auto& output : outputs)
        allTookIt = output->sendMessageNow (message) && allTookIt;

    return ! outputs.empty() && allTookIt;
}

bool MidiManager::isMidiOutputAvailable (const juce::String& portName)
{
    return ports->getOutputNames().contains (portName);
}

bool MidiManager::isMidiOutputOpen (const juce::String& portName)
{
    const juce::ScopedLock sl (lock);
    return isOutputOpen (portName);
}

//==============================================================================
void MidiManager::timerCallback()
{
    // Each list is taken once per pass: on Windows 11 every listing goes through the
    // system's MIDI service and is slow.
    const auto inputNames = ports->getInputNames();
    const auto outputNames = ports->getOutputNames();

    // Reopens run without the lock, which they take only to add a port that opened:
    // sends and replies need not wait for a platform's open of a busy port.
    reopenListed (disconnectedInputNames, inputBackoffs, inputNames, &MidiManager::openListedInput, &MidiManager::isInputOpen, *inputReconnectUpdater);
    reopenListed (disconnectedOutputNames, outputBackoffs, outputNames, &MidiManager::openListedOutput, &MidiManager::isOutputOpen, *outputReconnectUpdater);

    {
        const juce::ScopedLock sl (lock);

        juce::StringArray openInputNames;

        for (auto& entry : openInputs)
            openInputNames.addIfNotAlreadyThere (entry.name);

        for (auto& name : openInputNames)
        {
            if (! inputNames.contains (name))
            {
                closeMidiInput (name);
                disconnectedInputNames.addIfNotAlreadyThere (name);
                inputDisconnectUpdater->add (name);
            }
        }

        juce::StringArray openOutputNames;

        for (auto& entry : openOutputs)
            openOutputNames.addIfNotAlreadyThere (entry.name);

        for (auto& name : openOutputNames)
        {
            if (! outputNames.contains (name))
            {
                closeMidiOutput (name);
                disconnectedOutputNames.addIfNotAlreadyThere (name);
                outputDisconnectUpdater->add (name);
            }
        }
    }

    destroyRetiredPorts();
    pollWhileThereIsSomethingToWatch();
}

void MidiManager::reopenListed (juce::StringArray& disconnectedNames,
                                std::map<juce::String, ReopenBackoff>& backoffs,
                                const juce::StringArray& listedNames,
                                OpenFunction open,
                                IsOpenFunction isOpen,
                                PortChangeUpdater& updater)
{
    const auto now = juce::Time::getMillisecondCounterHiRes();

    // A name leaves the disconnected list only once a port of that name is open again:
    // nobody hears of a reconnection that did not happen. A reopen that fails is tried
    // again, less and less often while it keeps failing, and at once when the port has
    // been away and is listed anew.
    for (auto& name : juce::StringArray (disconnectedNames))
    {
        if (! listedNames.contains (name))
        {
            backoffs.erase (name);
            continue;
        }

        auto& backoff = backoffs[name];

        if (now < backoff.nextAttemptMs)
            continue;

        (this->*open) (name, listedNames);

        if ((this->*isOpen) (name))
        {
            disconnectedNames.removeString (name);
            backoffs.erase (name);
            updater.add (name);
        }
        else
        {
            backoff.waitMs = backoff.waitMs == 0 ? firstReopenRetryMs : juce::jmin (2 * backoff.waitMs, longestReopenRetryMs);
            backoff.nextAttemptMs = juce::Time::getMillisecondCounterHiRes() + backoff.waitMs;
        }
    }
}
