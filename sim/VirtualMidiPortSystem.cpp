#include "sim/VirtualMidiPortSystem.h"

#include <deque>

struct VirtualMidiPortSystem::Port
{
    Port (juce::String n, bool input, Receiver r)
        : name (std::move (n))
        , isInput (input)
        , receiver (std::move (r))
    {
    }

    const juce::String name;
    const bool isInput;
    const Receiver receiver;
    bool plugged = true;
    std::vector<VirtualInputPort*> handles;
    std::vector<std::thread::id> receiverCalls;
};

//==============================================================================
class VirtualMidiPortSystem::VirtualInputPort final : public InputPort,
                                                      private juce::Thread
{
public:
    VirtualInputPort (VirtualMidiPortSystem& s, std::shared_ptr<Port> p, juce::MidiInputCallback& cb)
        : juce::Thread ("Virtual MIDI input " + p->name)
        , system (&s)
        , port (std::move (p))
        , callback (cb)
    {
        startThread();
    }

    ~VirtualInputPort() override
    {
        {
            const std::lock_guard<std::mutex> guard (system->mutex);
            auto& handles = port->handles;
            handles.erase (std::remove (handles.begin(), handles.end(), this), handles.end());
        }

        signalThreadShouldExit();

        {
            const std::lock_guard<std::mutex> guard (queueMutex);
        }

        queueChanged.notify_all();
        waitForThreadToExit (-1);
    }

    void start() override { started = true; }

    void stop() override
    {
        // As a platform's stop does, waits for a delivery in progress.
        started = false;
        const std::lock_guard<std::recursive_mutex> guard (deliveryMutex);
    }

    juce::MidiInput* getSource() override { return nullptr; }

    void enqueue (const juce::MidiMessage& message)
    {
        if (! started)
            return;

        {
            const std::lock_guard<std::mutex> guard (queueMutex);
            queue.push_back (message);
        }

        queueChanged.notify_all();
    }

private:
    void run() override
    {
        for (;;)
        {
            juce::MidiMessage message;

            {
                std::unique_lock<std::mutex> guard (queueMutex);
                queueChanged.wait (guard, [this]
                                   { return threadShouldExit() || ! queue.empty(); });

                if (threadShouldExit())
                    return;

                message = queue.front();
                queue.pop_front();
            }

            const std::lock_guard<std::recursive_mutex> guard (deliveryMutex);

            if (started)
                callback.handleIncomingMidiMessage (nullptr, message);
        }
    }

    VirtualMidiPortSystem::Ptr system;
    std::shared_ptr<Port> port;
    juce::MidiInputCallback& callback;
    std::atomic<bool> started { false };
    std::recursive_mutex deliveryMutex;

    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<juce::MidiMessage> queue;
};

//==============================================================================
class VirtualMidiPortSystem::VirtualOutputPort final : public OutputPort
{
public:
    VirtualOutputPort (VirtualMidiPortSystem& s, std::shared_ptr<Port> p)
        : system (&s)
        , port (std::move (p))
    {
    }

    bool sendMessageNow (const juce::MidiMessage& message) override
    {
        const auto me = std::this_thread::get_id();
        Receiver receiver;

        {
            const std::lock_guard<std::mutex> guard (system->mutex);

            if (! port->plugged || takeFailure (system->sendFailures, port->name))
                return false;

            receiver = port->receiver;
            port->receiverCalls.push_back (me);
        }

        system->record (true, port->name, message);

        if (receiver != nullptr)
            receiver (message);

        {
            const std::lock_guard<std::mutex> guard (system->mutex);
            auto& calls = port->receiverCalls;
            calls.erase (std::find (calls.begin(), calls.end(), me));
        }

        system->receiverCallEnded.notify_all();
        return true;
    }

    void stopBackgroundThread() override {}

private:
    VirtualMidiPortSystem::Ptr system;
    std::shared_ptr<Port> port;
};

//==============================================================================
VirtualMidiPortSystem::VirtualMidiPortSystem()
    : startTicks (juce::Time::getHighResolutionTicks())
{
}

VirtualMidiPortSystem::~VirtualMidiPortSystem() = default;

int VirtualMidiPortSystem::addPort (const juce::String& name, bool isInput, Receiver receiver)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto id = nextPortId++;
    ports[id] = std::make_shared<Port> (name, isInput, std::move (receiver));
    return id;
}

int VirtualMidiPortSystem::addInputPort (const juce::String& name)
{
    return addPort (name, true, nullptr);
}

int VirtualMidiPortSystem::addOutputPort (const juce::String& name, Receiver receiver)
{
    return addPort (name, false, std::move (receiver));
}

void VirtualMidiPortSystem::removePort (int portId)
{
    std::unique_lock<std::mutex> guard (mutex);
    const auto it = ports.find (portId);

    if (it == ports.end())
        return;

    const auto port = it->second;
    port->plugged = false;
    ports.erase (it);

    // A device that unplugs itself from inside its own receiver does not wait for itself.
    const auto me = std::this_thread::get_id();

    receiverCallEnded.wait (guard, [&]
                            { return std::all_of (port->receiverCalls.begin(),
                                                  port->receiverCalls.end(),
                                                  [me] (auto id)
                                                  { return id == me; }); });
}

void VirtualMidiPortSystem::sendFromDevice (int inputPortId, const juce::MidiMessage& message)
{
    juce::String portName;

    {
        const std::lock_guard<std::mutex> guard (mutex);
        const auto it = ports.find (inputPortId);

        if (it == ports.end() || ! it->second->isInput)
            return;

        portName = it->second->name;

        for (auto* handle : it->second->handles)
            handle->enqueue (message);
    }

    record (false, portName, message);
}

void VirtualMidiPortSystem::setOpenFailures (const juce::String& portName, int count)
{
    const std::lock_guard<std::mutex> guard (mutex);
    openFailures[portName] = count;
}

int VirtualMidiPortSystem::getOpenAttempts (const juce::String& portName)
{
    const std::lock_guard<std::mutex> guard (mutex);
    return openAttempts[portName];
}

void VirtualMidiPortSystem::setSendFailures (const juce::String& portName, int count)
{
    const std::lock_guard<std::mutex> guard (mutex);
    sendFailures[portName] = count;
}

bool VirtualMidiPortSystem::takeOpenFailure (const juce::String& name)
{
    ++openAttempts[name];
    return takeFailure (openFailures, name);
}

bool VirtualMidiPortSystem::takeFailure (std::map<juce::String, int>& failures, const juce::String& name)
{
    const auto it = failures.find (name);

    if (it == failures.end() || it->second == 0)
        return false;

    if (it->second > 0)
        --it->second;

    return true;
}

void VirtualMidiPortSystem::setTrafficObserver (TrafficObserver newObserver)
{
    const std::lock_guard<std::mutex> guard (observerMutex);
    observer = std::move (newObserver);
}

juce::int64 VirtualMidiPortSystem::getMicroseconds() const
{
    const auto ticks = juce::Time::getHighResolutionTicks() - startTicks;
    return (juce::int64) (juce::Time::highResolutionTicksToSeconds (ticks) * 1.0e6);
}

void VirtualMidiPortSystem::record (bool toDevice, const juce::String& portName, const juce::MidiMessage& message)
{
    const std::lock_guard<std::mutex> guard (observerMutex);

    if (observer != nullptr)
        observer ({ getMicroseconds(), toDevice, portName, message });
}

//==============================================================================
juce::StringArray VirtualMidiPortSystem::namesOf (bool inputs)
{
    const std::lock_guard<std::mutex> guard (mutex);
    juce::StringArray names;

    for (auto& [id, port] : ports)
        if (port->isInput == inputs)
            names.add (port->name);

    return names;
}

std::shared_ptr<VirtualMidiPortSystem::Port> VirtualMidiPortSystem::portAt (int index, bool inputs)
{
    const std::lock_guard<std::mutex> guard (mutex);

    for (auto& [id, port] : ports)
        if (port->isInput == inputs && index-- == 0)
            return takeOpenFailure (port->name) ? nullptr : port;

    return nullptr;
}

std::shared_ptr<VirtualMidiPortSystem::Port> VirtualMidiPortSystem::portWithId (int portId, bool isInput)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto it = ports.find (portId);

    if (it == ports.end() || it->second->isInput != isInput)
        return nullptr;

    return takeOpenFailure (it->second->name) ? nullptr : it->second;
}

std::vector<VirtualMidiPortSystem::PortInfo> VirtualMidiPortSystem::getPorts()
{
    const std::lock_guard<std::mutex> guard (mutex);
    std::vector<PortInfo> list;

    for (auto& [id, port] : ports)
        list.push_back ({ id, port->isInput, port->name });

    return list;
}

juce::StringArray VirtualMidiPortSystem::getInputNames() { return namesOf (true); }
juce::StringArray VirtualMidiPortSystem::getOutputNames() { return namesOf (false); }

std::unique_ptr<MidiPortSystem::InputPort> VirtualMidiPortSystem::openInput (int index, juce::MidiInputCallback& callback)
{
    return openInputPort (portAt (index, true), callback);
}

std::unique_ptr<MidiPortSystem::InputPort> VirtualMidiPortSystem::openInputWithId (int portId, juce::MidiInputCallback& callback)
{
    return openInputPort (portWithId (portId, true), callback);
}

std::unique_ptr<MidiPortSystem::OutputPort> VirtualMidiPortSystem::openOutputWithId (int portId)
{
    if (auto port = portWithId (portId, false))
        return std::make_unique<VirtualOutputPort> (*this, port);

    return {};
}

std::unique_ptr<MidiPortSystem::InputPort> VirtualMidiPortSystem::openInputPort (std::shared_ptr<Port> port, juce::MidiInputCallback& callback)
{
    if (port == nullptr)
        return {};

    auto handle = std::make_unique<VirtualInputPort> (*this, port, callback);

    const std::lock_guard<std::mutex> guard (mutex);

    // A port unplugged while it was being opened yields a handle that never delivers.
    if (port->plugged)
        port->handles.push_back (handle.get());

    return handle;
}

std::unique_ptr<MidiPortSystem::OutputPort> VirtualMidiPortSystem::openOutput (int index)
{
    if (auto port = portAt (index, false))
        return std::make_unique<VirtualOutputPort> (*this, port);

    return {};
}
