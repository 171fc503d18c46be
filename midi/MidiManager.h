#pragma once

#include "midi/MidiPortSystem.h"
#include "midi/PrivateDeviceDescriptor.h"
#include "midi/PrivateDriverSystem.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

class PrivateMidiInput;

/** The one object through which the updater talks MIDI to the keyboard.

    Opens ports by exact name, sends to them, hands every received message to its
    listeners on the thread that received it, and every 50 ms, while it has a port open or
    awaits one, checks that its ports are still listed: a vanished port is closed and its
    name remembered, and the port is opened again once the name is listed again. Port
    changes reach the listeners on the message thread.
*/
class MidiManager final : public juce::MidiInputCallback,
                          public juce::ReferenceCountedObject,
                          private juce::Timer
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<MidiManager>;

    class Listener
    {
    public:
        virtual ~Listener() = default;

        /** Called on the thread that received the message, never with a lock of the
            manager held. The source may be null.
        */
        virtual void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) = 0;

        /** The same message with the name of the listed input it arrived on (empty for
            the private driver's input); by default handled as above.
        */
        virtual void handleIncomingMidiMessageFrom (const juce::String& /*portName*/, juce::MidiInput* source, const juce::MidiMessage& message)
        {
            handleIncomingMidiMessage (source, message);
        }

        // Port changes, always on the message thread, after the manager's lists changed.
        virtual void midiInputDeviceDisconnected (juce::StringArray) {}
        virtual void midiOutputDeviceDisconnected (juce::StringArray) {}
        virtual void midiInputDeviceReconnected (juce::StringArray) {}
        virtual void midiOutputDeviceReconnected (juce::StringArray) {}
    };

    /** Opens nothing until asked; the port poll starts with the first port opened.
        Without a private driver system the machine has no private driver.
    */
    explicit MidiManager (MidiPortSystem::Ptr portSystem, PrivateDriverSystem::Ptr privateDriverSystem = nullptr);
    ~MidiManager() override;

    /** Adding a listener that is null or already present does nothing. */
    void addListener (Listener* listener);

    /** Once this returns, the listener is not called again; if another thread is
        calling it at that moment, this waits until that call has returned.
    */
    void removeListener (Listener* listener);

    /** Opens every listed input of exactly this name, unless one is open already. One
        that is listed but fails to open is tried again as a reopen is (see
        firstReopenRetryMs), and listeners hear of it as reconnected once it opens.
        Call on the message thread.
    */
    void openMidiInput (const juce::String& portName);

    /** As openMidiInput, for outputs. */
    void openMidiOutput (const juce::String& portName);

    /** Closes every port of this name, input and output, and stops reopening it: for
        ports opened in the hope of a keyboard that turned out to be another. Message
        thread.
    */
    void closePorts (const juce::String& portName);

    /** Opens an input through the maker's private driver for this driver instance,
        unless there is one for it already. Its messages reach the listeners with a null
        source. It is followed by the driver, not by the port poll, and stays until the
        manager goes. Message thread.
    */
    void openPrivateMidiInput (const PrivateDeviceDescriptor& device);

    int getNumPrivateInputs() const noexcept { return numPrivateInputs.load(); }

    /** The maker's private driver, as this machine has it. */
    PrivateDriverSystem& getPrivateDriverSystem() noexcept { return *privateDrivers; }

    /** Sends to every open output of this name; nothing happens when there is none.
        Returns once the platform has taken the whole message or refused it: true only
        when an output of this name was open and every one of them took all of it.
    */
    bool sendMessageToOutput (const juce::String& portName, const juce::MidiMessage& message);

    /** Sends to every open output; true only when one was open and all took the whole
        message.
    */
    bool sendMessageToAllOutputs (const juce::MidiMessage& message);

    /** To the output of this name, or to every open output when no name is given. */
    bool sendMessage (const juce::String& portNameOrEmpty, const juce::MidiMessage& message)
    {
        return portNameOrEmpty.isEmpty() ? sendMessageToAllOutputs (message) : sendMessageToOutput (portNameOrEmpty, message);
    }

    /** What the port system tells the update log of its ports (see MidiPortSystem). */
    juce::StringArray describePortsForLog() { return ports->describeForLog(); }

    /** Whether the ports may lead to a real keyboard. */
    bool reachesHardware() const { return ports->reachesHardware(); }

    /** The names of the ports the system lists now, in its order. */
    juce::StringArray getInputNames() { return ports->getInputNames(); }
    juce::StringArray getOutputNames() { return ports->getOutputNames(); }

    /** Whether the system lists an output of exactly this name right now. */
    bool isMidiOutputAvailable (const juce::String& portName);

    /** Whether an output of exactly this name is open now, so that sends reach it; a
        listed port may still fail to open (on Windows while another program holds it).
        Callable from any thread.
    */
    bool isMidiOutputOpen (const juce::String& portName);

    /** A port that is listed again but fails to reopen is tried again after this long,
        twice as long after each further failure, up to the longest wait: on Windows a
        failing open can keep the message thread for 400 ms.
    */
    static constexpr int firstReopenRetryMs = 250;
    static constexpr int longestReopenRetryMs = 4000;

    /** How often the poll checks the ports' lists while it watches any. */
    static constexpr int pollIntervalMs = 50;

    /** Snapshots that the next poll pass may change; callable from any thread. */
    int getNumOpenInputs() const noexcept { return numOpenInputs.load(); }
    int getNumOpenOutputs() const noexcept { return numOpenOutputs.load(); }

    /** How many listeners are registered now. */
    int getNumListeners();

    void handleIncomingMidiMessage (juce::MidiInput* source, const juce::MidiMessage& message) override;
    void handlePartialSysexMessage (juce::MidiInput*, const juce::uint8*, int, double) override {}

private:
    class InputCallback;
    class PortChangeUpdater;
    class MidiInputDeviceDisconnectUpdater;
    class MidiOutputDeviceDisconnectUpdater;
    class MidiInputDeviceReconnectUpdater;
    class MidiOutputDeviceReconnectUpdater;

    /** An open input with the callback that tells its messages' port; the port goes
        first, so that no delivery outlives the callback.
    */
    struct OpenInput
    {
        std::unique_ptr<InputCallback> callback;
        std::unique_ptr<MidiPortSystem::InputPort> port;
    };

    struct InputEntry
    {
        juce::String name;
        OpenInput input;
    };

    // Shared with a send in flight, which may outlast the entry (see sendToOutputs).
    struct OutputEntry
    {
        juce::String name;
        std::shared_ptr<MidiPortSystem::OutputPort> output;
    };

    /** One pass over the listeners in progress, so that removals can adjust it. */
    struct ListenerWalk
    {
        int index;
        Listener* current;
        std::thread::id thread;
    };

    /** When a port that failed to reopen may be tried again. */
    struct ReopenBackoff
    {
        double nextAttemptMs = 0.0;
        int waitMs = 0;
    };

    using OpenFunction = void (MidiManager::*) (const juce::String&, const juce::StringArray&);
    using IsOpenFunction = bool (MidiManager::*) (const juce::String&) const;

    void timerCallback() override;
    void pollWhileThereIsSomethingToWatch();
    void retryIfUnopened (const juce::String& portName,
                          const juce::StringArray& listedNames,
                          bool opened,
                          juce::StringArray& disconnectedNames,
                          std::map<juce::String, ReopenBackoff>& backoffs);
    void reopenListed (juce::StringArray& disconnectedNames,
                       std::map<juce::String, ReopenBackoff>& backoffs,
                       const juce::StringArray& listedNames,
                       OpenFunction open,
                       IsOpenFunction isOpen,
                       PortChangeUpdater& updater);
    void openListedInput (const juce::String& portName, const juce::StringArray& listedNames);
    void openListedOutput (const juce::String& portName, const juce::StringArray& listedNames);
    void closeMidiInput (const juce::String& portName);
    void closeMidiOutput (const juce::String& portName);
    bool isInputOpen (const juce::String& portName) const;
    bool isOutputOpen (const juce::String& portName) const;
    void destroyRetiredPorts();
    void deliver (const juce::String& portName, juce::MidiInput* source, const juce::MidiMessage& message);
    bool sendToOutputs (const juce::String* portNameOrAll, const juce::MidiMessage& message);

    template <typename Call>
    void callListeners (Call&& call);

    MidiPortSystem::Ptr ports;

    std::unique_ptr<PortChangeUpdater> inputDisconnectUpdater, outputDisconnectUpdater,
        inputReconnectUpdater, outputReconnectUpdater;

    juce::StringArray disconnectedInputNames, disconnectedOutputNames;
    std::map<juce::String, ReopenBackoff> inputBackoffs, outputBackoffs;
    std::vector<InputEntry> openInputs;
    std::vector<OutputEntry> openOutputs;
    std::atomic<int> numOpenInputs { 0 }, numOpenOutputs { 0 };

    // Closed ports wait here until the poll has let go of the lock: an input's delivery
    // thread may be inside a listener that is waiting for the lock to send a reply.
    std::vector<OpenInput> retiredInputs;
    std::vector<std::shared_ptr<MidiPortSystem::OutputPort>> retiredOutputs;

    // The lists of ports; never held while a message is on its way.
    juce::CriticalSection lock;

    std::mutex sendMutex;

    PrivateDriverSystem::Ptr privateDrivers;
    std::vector<std::unique_ptr<PrivateMidiInput>> privateInputs;
    std::atomic<int> numPrivateInputs { 0 };

    std::mutex listenerMutex;
    std::condition_variable listenerCallEnded;
    juce::Array<Listener*> listeners;
    juce::Array<ListenerWalk*> activeWalks;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (MidiManager)
};
