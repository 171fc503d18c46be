#pragma once

#include "sim/DriverLinkProtocol.h"

#include <winsock2.h>

#include <windows.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

/** The driver's end of the link to the keyboard process: connects to 127.0.0.1 on a
    thread of its own, again and again until a keyboard process listens, and again after
    one has gone; reads its frames and hands them to the receiver on that thread.

    Every call is bounded: connects, sends and the waits for answers have time-outs, so an
    application's WinMM call never hangs on a keyboard process that is gone or stuck.
*/
class DriverLinkClient final
{
public:
    class Receiver
    {
    public:
        virtual ~Receiver() = default;

        /** A frame from the keyboard process, other than the answers a caller waits for. */
        virtual void frameReceived (DriverLinkProtocol::Frame type, DriverLinkProtocol::Reader& body) = 0;

        /** The link is down: every port of the keyboard process is gone. */
        virtual void linkLost() = 0;
    };

    DriverLinkClient (std::uint16_t port, Receiver& receiver);
    ~DriverLinkClient();

    /** Starts connecting; if a keyboard process listens, waits (briefly) for its first
        port list, so that an application's first look at the ports already sees them.
    */
    void start();

    /** Sends a frame; false when there is no link or the send did not finish in time. */
    bool send (DriverLinkProtocol::Writer& frame);

    /** Sends a frame and waits for the answer of this type that carries this id (an
        open's request number or a send's tag); nothing when the link fails or no answer
        comes in time.
    */
    std::optional<std::uint32_t> request (DriverLinkProtocol::Writer& frame, DriverLinkProtocol::Frame answer, std::uint32_t id);

    static constexpr int connectTimeoutMs = 500;
    static constexpr int ioTimeoutMs = 2000;

    // Both ends run under Wine, beside other tests on two cores: an answer was seen to
    // take over 2 s. A driver that blocks its caller this long is no worse than Windows
    // with a device unplugged mid-call.
    static constexpr int answerTimeoutMs = 10000;
    static constexpr int retryIntervalMs = 200;

private:
    void run();
    bool connect();
    void readUntilLost();
    bool readExactly (std::uint8_t* data, std::size_t size);
    void disconnect();

    const std::uint16_t port;
    Receiver& receiver;

    std::mutex sendMutex; // one frame at a time on the wire
    SOCKET socket = INVALID_SOCKET;

    std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool stopping = false, connected = false, firstListSeen = false;
    unsigned linkNumber = 0; // counts connections, so that a waiter sees its link go
    std::map<std::uint64_t, std::uint32_t> answers;

    std::thread thread;

    DriverLinkClient (const DriverLinkClient&) = delete;
    DriverLinkClient& operator= (const DriverLinkClient&) = delete;
};
