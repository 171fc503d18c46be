#pragma once

#include "midi/MidiPortSystem.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

/** A MIDI port list of our own that simulated devices plug into, in place of the
    platform's, for tests and the demo.

    The device side adds and removes ports at any time, under any name (two ports may
    share one). From the computer's side it behaves as a platform's MIDI service:

    - an input (device to computer) delivers each message on a thread of its own, one
      per open handle, in the order the device sent them; the device's send only queues;
      stopping an input waits for a delivery in progress, as JUCE's stop does on Windows;
    - a send to an output (computer to device) returns once the device's receiver has
      taken the message, and runs the receiver on the sending thread;
    - once a port is removed its open handles deliver only what the device had sent
      before, and sends to it go nowhere; a port of the same name added later is a new
      port that must be opened anew;
    - opens of a listed name can be made to fail, and so can sends to outputs of a name
      (the driver refuses the message: the device's receiver never sees it).

    Every message in either direction can be observed with a time stamp in microseconds.
    All operations are thread-safe.
*/
class VirtualMidiPortSystem final : public MidiPortSystem
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<VirtualMidiPortSystem>;

    /** Receives what the computer sends to one of the device's ports. */
    using Receiver = std::function<void (const juce::MidiMessage&)>;

    struct TrafficRecord
    {
        juce::int64 microseconds; // since this port system was created
        bool toDevice;
        juce::String portName;
        juce::MidiMessage message;
    };

    using TrafficObserver = std::function<void (const TrafficRecord&)>;

    VirtualMidiPortSystem();
    ~VirtualMidiPortSystem() override;

    //==============================================================================
    // The device's side

    /** Adds a port the computer receives from; returns its id. */
    int addInputPort (const juce::String& name);

    /** Adds a port the computer sends to; its messages go to the receiver. */
    int addOutputPort (const juce::String& name, Receiver receiver);

    /** Unplugs a port. Waits for receiver calls of this port on other threads to end,
        so the device may be deleted afterwards.
    */
    void removePort (int portId);

    /** Queues a message on every open, started handle of this input port; messages to
        a removed port are dropped. Messages queued before a removal are still delivered,
        as bytes that had crossed the cable before it was pulled.
    */
    void sendFromDevice (int inputPortId, const juce::MidiMessage& message);

    /** The next `count` opens of ports of this name fail; -1 makes every open fail
        until this is called again with 0.
    */
    void setOpenFailures (const juce::String& portName, int count);

    /** The next `count` sends to outputs of this name fail; -1 makes every send fail
        until this is called again with 0. Callable from a receiver.
    */
    void setSendFailures (const juce::String& portName, int count);

    /** How many times the computer has tried to open a port of this name. */
    int getOpenAttempts (const juce::String& portName);

    /** Called for every message that crosses a port, in either direction, in the order
        the messages crossed. Pass nullptr to stop.
    */
    void setTrafficObserver (TrafficObserver observer);

    /** Microseconds since this port system was created. */
    juce::int64 getMicroseconds() const;

    //==============================================================================
    // The computer's side

    /** A listed port with the id that stays its own while it is plugged in, so that a
        caller that lists the ports now and opens one later opens the same port.
    */
    struct PortInfo
    {
        int id;
        bool isInput;
        juce::String name;
    };

    /** Every listed port, inputs and outputs, in the order of the name lists. */
    std::vector<PortInfo> getPorts();

    /** Opens a listed port by its id; nothing when it has gone or its open fails. The
        input is not started.
    */
    std::unique_ptr<InputPort> openInputWithId (int portId, juce::MidiInputCallback& callback);
    std::unique_ptr<OutputPort> openOutputWithId (int portId);
    bool reachesHardware() const override { return false; }
    juce::StringArray getInputNames() override;
    juce::StringArray getOutputNames() override;
    std::unique_ptr<InputPort> openInput (int index, juce::MidiInputCallback& callback) override;
    std::unique_ptr<OutputPort> openOutput (int index) override;

private:
    struct Port;
    class VirtualInputPort;
    class VirtualOutputPort;

    int addPort (const juce::String& name, bool isInput, Receiver receiver);
    juce::StringArray namesOf (bool inputs);
    std::shared_ptr<Port> portAt (int index, bool inputs);
    std::shared_ptr<Port> portWithId (int portId, bool isInput);
    std::unique_ptr<InputPort> openInputPort (std::shared_ptr<Port> port, juce::MidiInputCallback& callback);
    bool takeOpenFailure (const juce::String& name);
    static bool takeFailure (std::map<juce::String, int>& failures, const juce::String& name);
    void record (bool toDevice, const juce::String& portName, const juce::MidiMessage& message);

    std::mutex mutex;
    std::condition_variable receiverCallEnded;
    std::map<int, std::shared_ptr<Port>> ports;
    std::map<juce::String, int> openFailures, sendFailures, openAttempts;
    int nextPortId = 1;

    std::mutex observerMutex;
    TrafficObserver observer;
    const juce::int64 startTicks;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (VirtualMidiPortSystem)
};
