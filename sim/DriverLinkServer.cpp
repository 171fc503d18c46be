#include "sim/DriverLinkServer.h"

#include <cmath>
#include <deque>

using namespace DriverLinkProtocol;

namespace
{
/** Reads exactly this many bytes, looking at the thread's exit flag while none come. */
bool readExactly (juce::StreamingSocket& socket, void* data, int size, const std::function<bool()>& shouldStop, int timeoutMs = -1)
{
    auto* p = static_cast<char*> (data);
    auto waitedMs = 0;

    while (size > 0)
    {
        if (shouldStop())
            return false;

        const auto ready = socket.waitUntilReady (true, 50);

        if (ready < 0)
            return false;

        if (ready == 0)
        {
            waitedMs += 50;

            if (timeoutMs >= 0 && waitedMs >= timeoutMs)
                return false;

            continue;
        }

        // Blocking: JUCE sets the socket's blocking state on each read, and a socket left
        // non-blocking makes the writes of other threads fail, or go in part, whenever
        // the peer is slow to read: frames lost, or every one after half a frame garbled.
        // Data is there, so this returns once the rest of what is asked for has come.
        const auto n = socket.read (p, size, true);

        if (n <= 0)
            return false;

        p += n;
        size -= n;
    }

    return true;
}

/** Reads one frame; false when the peer has gone or sent something that is no frame. */
bool readFrame (juce::StreamingSocket& socket, Frame& type, std::vector<std::uint8_t>& body, const std::function<bool()>& shouldStop, int timeoutMs = -1)
{
    std::uint8_t header[headerSize];

    if (! readExactly (socket, header, (int) headerSize, shouldStop, timeoutMs))
        return false;

    const auto size = bodySizeOf (header);

    if (size > maxBodySize)
        return false;

    type = (Frame) header[4];
    body.resize (size);
    return size == 0 || readExactly (socket, body.data(), (int) size, shouldStop, timeoutMs);
}
} // namespace

//==============================================================================
/** One driver instance (or control client): its frames, its open ports, and a sender
    thread that hands its sends to the keyboard one after another.
*/
class DriverLinkServer::Connection final : private juce::Thread
{
public:
    Connection (DriverLinkServer& s, std::unique_ptr<juce::StreamingSocket> socketToUse)
        : juce::Thread ("Driver link connection")
        , server (s)
        , socket (std::move (socketToUse))
        , sender (*this)
    {
    }

    ~Connection() override
    {
        signalThreadShouldExit();
        socket->close();
        stopThread (-1);
        sender.signalThreadShouldExit();
        sender.notify();
        sender.stopThread (-1);

        std::map<int, OpenInput> openInputs;
        std::map<int, std::shared_ptr<MidiPortSystem::OutputPort>> openOutputs;

        {
            const std::lock_guard<std::mutex> guard (portsMutex);
            openInputs.swap (inputs);
            openOutputs.swap (outputs);
        }

        for (auto& [id, port] : openInputs)
            server.release (*this, id, true);

        for (auto& [id, port] : openOutputs)
            server.release (*this, id, false);
    }

    void begin()
    {
        startThread();
        sender.startThread();
    }

    bool hasEnded() const { return ! isThreadRunning(); }

    bool write (const std::vector<std::uint8_t>& frame)
    {
        const std::lock_guard<std::mutex> guard (writeMutex);

        // A send may take a frame in part: the rest follows, or the peer would be lost.
        for (size_t done = 0; done < frame.size();)
        {
            const auto n = socket->write (frame.data() + done, (int) (frame.size() - done));

            if (n <= 0)
                return false;

            done += (size_t) n;
        }

        return true;
    }

    bool write (Writer& frame) { return write (frame.frame()); }

private:
    /** Forwards what one input delivers, as whole messages. */
    struct InputForwarder final : public juce::MidiInputCallback
    {
        InputForwarder (Connection& c, int id)
            : connection (c)
            , portId (id)
        {
        }

        void handleIncomingMidiMessage (juce::MidiInput*, const juce::MidiMessage& message) override
        {
            Writer frame (Frame::input);
            frame.u32 ((std::uint32_t) portId).raw (message.getRawData(), (size_t) message.getRawDataSize());
            connection.write (frame);
        }

        Connection& connection;
        const int portId;
    };

    struct OpenInput
    {
        std::unique_ptr<InputForwarder> forwarder;
        std::unique_ptr<MidiPortSystem::InputPort> port; // ends before its forwarder
    };

    struct Send
    {
        std::uint32_t tag;
        int portId;
        std::vector<std::uint8_t> bytes;
        int doneDelayMs;
        bool neverDone;
    };

    /** Hands sends to the keyboard, in order; its receiver may take its time. */
    class Sender final : public juce::Thread
    {
    public:
        explicit Sender (Connection& c)
            : juce::Thread ("Driver link sender")
            , connection (c)
        {
        }

        void push (Send send)
        {
            {
                const std::lock_guard<std::mutex> guard (mutex);
                queue.push_back (std::move (send));
            }

            notify();
        }

        void run() override
        {
            while (! threadShouldExit())
            {
                std::optional<Send> next;

                {
                    const std::lock_guard<std::mutex> guard (mutex);

                    if (! queue.empty())
                    {
                        next = std::move (queue.front());
                        queue.pop_front();
                    }
                }

                if (! next.has_value())
                {
                    wait (100);
                    continue;
                }

                if (auto output = connection.outputFor (next->portId))
                    output->sendMessageNow (juce::MidiMessage (next->bytes.data(), (int) next->bytes.size()));

                if (next->tag == 0 || next->neverDone)
                    continue;

                // Waited out in full: a notify left over from a push that came while this
                // thread was awake would otherwise end the wait at once.
                for (const auto until = juce::Time::getMillisecondCounterHiRes() + next->doneDelayMs;;)
                {
                    const auto left = until - juce::Time::getMillisecondCounterHiRes();

                    if (threadShouldExit())
                        return;

                    if (left <= 0)
                        break;

                    wait ((int) std::ceil (left));
                }

                Writer done (Frame::done);
                done.u32 (next->tag);
                connection.write (done);
            }
        }

    private:
        Connection& connection;
        std::mutex mutex;
        std::deque<Send> queue;
    };

    std::shared_ptr<MidiPortSystem::OutputPort> outputFor (int portId)
    {
        const std::lock_guard<std::mutex> guard (portsMutex);
        const auto it = outputs.find (portId);
        return it != outputs.end() ? it->second : nullptr;
    }

    void run() override
    {
        Frame type {};
        std::vector<std::uint8_t> body;

        while (readFrame (*socket, type, body, [this]
                          { return threadShouldExit(); }))
        {
            Reader reader (body.data(), body.size());

            switch (type)
            {
                case Frame::open:
                {
                    const auto request = reader.u32();
                    const auto portId = (int) reader.u32();
                    const auto isInput = reader.u8() != 0;
                    Writer answer (Frame::openResult);
                    answer.u32 (request).u32 (open (portId, isInput));
                    write (answer);
                    break;
                }
                case Frame::close:
                {
                    const auto portId = (int) reader.u32();
                    close (portId, reader.u8() != 0);
                    break;
                }
                case Frame::send:
                    takeSend (reader);
                    break;
                case Frame::control:
                {
                    const auto [status, text] = server.controlHandler (juce::String::fromUTF8 (reinterpret_cast<const char*> (body.data()), (int) body.size()));
                    Writer answer (Frame::controlReply);
                    answer.u32 ((std::uint32_t) status).text (text.toStdString());
                    write (answer);
                    break;
                }
                case Frame::hello:
                case Frame::portList:
                case Frame::openResult:
                case Frame::accepted:
                case Frame::done:
                case Frame::input:
                case Frame::controlReply:
                default:
                    break;
            }
        }
    }

    std::uint32_t open (int portId, bool isInput)
    {
        const auto claimed = server.claim (*this, portId, isInput);

        if (claimed != ok)
            return claimed;

        if (isInput)
        {
            OpenInput input { std::make_unique<InputForwarder> (*this, portId), nullptr };
            input.port = server.ports->openInputWithId (portId, *input.forwarder);

            // Started at once: whether the application listens is the driver's to decide.
            if (input.port != nullptr)
            {
                input.port->start();
                const std::lock_guard<std::mutex> guard (portsMutex);
                inputs[portId] = std::move (input);
                return ok;
            }
        }
        else if (auto port = server.ports->openOutputWithId (portId))
        {
            const std::lock_guard<std::mutex> guard (portsMutex);
            outputs[portId] = std::move (port);
            return ok;
        }

        server.release (*this, portId, isInput);
        return noDriver;
    }

    void close (int portId, bool isInput)
    {
        OpenInput input;
        std::shared_ptr<MidiPortSystem::OutputPort> output;

        {
            const std::lock_guard<std::mutex> guard (portsMutex);

            if (isInput && inputs.count (portId) > 0)
            {
                input = std::move (inputs[portId]);
                inputs.erase (portId);
            }
            else if (! isInput && outputs.count (portId) > 0)
            {
                output = std::move (outputs[portId]);
                outputs.erase (portId);
            }
            else
            {
                return;
            }
        }

        // Outside the lock: closing an input waits for a delivery in progress.
        input.port.reset();
        server.release (*this, portId, isInput);
    }

    void takeSend (Reader& reader)
    {
        const auto tag = reader.u32();
        const auto portId = (int) reader.u32();
        auto bytes = reader.rest();

        if (tag == 0)
        {
            sender.push ({ 0, portId, std::move (bytes), 0, false });
            return;
        }

        const auto* fault = server.faultAt (server.countBlock (bytes));
        const auto faultIs = [fault] (DriverFault::Kind kind)
        { return fault != nullptr && fault->kind == kind; };
        const auto result = outputFor (portId) == nullptr         ? noDriver
                            : faultIs (DriverFault::Kind::refuse) ? error
                                                                  : ok;

        // Accepted goes out before the sender may answer done: a peer waits for the two
        // in that order.
        Writer answer (Frame::accepted);
        answer.u32 (tag).u32 (result);
        write (answer);

        if (result == ok)
            sender.push ({ tag, portId, std::move (bytes), faultIs (DriverFault::Kind::slowDone) ? fault->value : 0, faultIs (DriverFault::Kind::neverDone) });
    }

    DriverLinkServer& server;
    std::unique_ptr<juce::StreamingSocket> socket;
    std::mutex writeMutex;

    std::mutex portsMutex;
    std::map<int, OpenInput> inputs;
    std::map<int, std::shared_ptr<MidiPortSystem::OutputPort>> outputs;

    Sender sender;
};

//==============================================================================
DriverLinkServer::DriverLinkServer (VirtualMidiPortSystem::Ptr p, std::vector<DriverFault> f, ControlHandler handler)
    : juce::Thread ("Driver link server")
    , ports (std::move (p))
    , faults (std::move (f))
    , controlHandler (std::move (handler))
{
    for (auto& fault : faults)
        if (fault.kind == DriverFault::Kind::busy)
            busyOpensLeft = fault.value;
}

DriverLinkServer::~DriverLinkServer()
{
    signalThreadShouldExit();
    stopThread (-1);
    listener.close();
    connections.clear();
}

bool DriverLinkServer::start (int port)
{
    if (! listener.createListener (port, "127.0.0.1"))
        return false;

    startThread();
    return true;
}

void DriverLinkServer::run()
{
    std::vector<std::uint8_t> listSent;

    while (! threadShouldExit())
    {
        const auto list = portListFrame();
        const auto changed = list != listSent;
        listSent = list;

        for (auto& connection : connections)
            if (changed)
                connection->write (list);

        // A connection whose peer has gone ends here, never on its own thread.
        connections.erase (std::remove_if (connections.begin(), connections.end(), [] (auto& c)
                                           { return c->hasEnded(); }),
                           connections.end());

        if (listener.waitUntilReady (true, 20) == 1)
        {
            if (std::unique_ptr<juce::StreamingSocket> socket { listener.waitForNextConnection() })
            {
                auto connection = std::make_unique<Connection> (*this, std::move (socket));
                connection->write (list);
                connection->begin();
                connections.push_back (std::move (connection));
            }
        }
    }
}

std::vector<std::uint8_t> DriverLinkServer::portListFrame()
{
    const auto listed = ports->getPorts();
    Writer frame (Frame::portList);
    frame.u32 ((std::uint32_t) listed.size());

    for (auto& port : listed)
        frame.u32 ((std::uint32_t) port.id).u8 (port.isInput ? 1 : 0).text (port.name.toStdString());

    return frame.frame();
}

Result DriverLinkServer::claim (Connection& connection, int portId, bool isInput)
{
    const std::lock_guard<std::mutex> guard (mutex);

    if (busyOpensLeft != 0)
    {
        if (busyOpensLeft > 0)
            --busyOpensLeft;

        return allocated;
    }

    auto& owner = owners[{ portId, isInput }];

    if (owner != nullptr)
        return allocated;

    owner = &connection;
    return ok;
}

void DriverLinkServer::release (Connection& connection, int portId, bool isInput)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto it = owners.find ({ portId, isInput });

    if (it != owners.end() && it->second == &connection)
        owners.erase (it);
}

std::optional<FirmwareBlockCounter::Block> DriverLinkServer::countBlock (const std::vector<juce::uint8>& bytes)
{
    const std::lock_guard<std::mutex> guard (mutex);
    return blockCounter.count (bytes.data(), bytes.size());
}

const DriverFault* DriverLinkServer::faultAt (const std::optional<FirmwareBlockCounter::Block>& block) const
{
    if (block.has_value())
        for (auto& fault : faults)
            if (fault.isAt (*block))
                return &fault;

    return nullptr;
}

std::optional<std::pair<int, juce::String>> DriverLinkServer::requestControl (int port, const juce::String& request, int timeoutMs)
{
    juce::StreamingSocket socket;

    if (! socket.connect ("127.0.0.1", port, timeoutMs))
        return {};

    Writer frame (Frame::control);
    const auto text = request.toStdString();
    frame.raw (text.data(), text.size());
    const auto& bytes = frame.frame();

    if (socket.write (bytes.data(), (int) bytes.size()) != (int) bytes.size())
        return {};

    // The keyboard process sends its port list first: skip it.
    Frame type {};
    std::vector<std::uint8_t> body;

    while (readFrame (
        socket,
        type,
        body,
        []
        { return false; },
        timeoutMs))
    {
        if (type != Frame::controlReply)
            continue;

        Reader reader (body.data(), body.size());
        const auto status = (int) reader.u32();
        const auto answer = reader.text();
        return std::make_pair (status, juce::String::fromUTF8 (answer.data(), (int) answer.size()));
    }

    return {};
}
