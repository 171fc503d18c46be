#pragma once

#include <juce_audio_devices/juce_audio_devices.h>

/** The computer's list of MIDI ports, as the port manager sees it.

    The updater uses the platform's ports, through WinMM directly on Windows and through
    JUCE elsewhere; tests and the demo plug in a virtual port system instead, so that a
    simulated keyboard can appear, vanish and answer without hardware. Ports are found by
    name and opened by their index in the list taken just before (of the same kind, on
    the same thread), as a platform's own MIDI API does.
*/
class MidiPortSystem : public juce::ReferenceCountedObject
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<MidiPortSystem>;

    /** One open input. Messages reach the callback given at opening, on a thread that is
        not the message thread, between start() and stop(). Deleting the port stops it.
    */
    class InputPort
    {
    public:
        virtual ~InputPort() = default;
        virtual void start() = 0;
        virtual void stop() = 0;

        /** The JUCE object behind the port, passed on as a message's source; null for
            ports that are not JUCE's.
        */
        virtual juce::MidiInput* getSource() = 0;
    };

    /** One open output. */
    class OutputPort
    {
    public:
        virtual ~OutputPort() = default;

        /** Returns once the whole message has been handed over to the port, or once that
            has failed: true only when every byte went out. A caller that counts what it
            sent counts only what this confirmed.
        */
        virtual bool sendMessageNow (const juce::MidiMessage& message) = 0;

        /** Stops the port's background sending thread, waiting at most 5000 ms. */
        virtual void stopBackgroundThread() = 0;
    };

    ~MidiPortSystem() override = default;

    /** Whether these ports may lead to a real keyboard; every port system does unless it
        says otherwise. Placeholder firmware is never sent where it might.
    */
    virtual bool reachesHardware() const { return true; }

    /** What the update log tells of the ports: the MIDI stack they run on, every port
        listed, and each error the platform's MIDI API returned; one line each. Port
        systems that have nothing to tell give nothing. Callable from any thread.
    */
    virtual juce::StringArray describeForLog() { return {}; }

    virtual juce::StringArray getInputNames() = 0;
    virtual juce::StringArray getOutputNames() = 0;

    /** Opens the input at this index of the list most recently taken; null when that
        fails.
    */
    virtual std::unique_ptr<InputPort> openInput (int index, juce::MidiInputCallback& callback) = 0;

    /** Opens the output at this index of the list most recently taken; null when that
        fails.
    */
    virtual std::unique_ptr<OutputPort> openOutput (int index) = 0;
};
