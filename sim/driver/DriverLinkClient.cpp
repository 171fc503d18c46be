#include "sim/driver/DriverLinkClient.h"

#include <ws2tcpip.h>

using namespace DriverLinkProtocol;

namespace
{
std::uint64_t answerKey (Frame type, std::uint32_t id)
{
    return (std::uint64_t) type << 32 | id;
}

/** Waits until the socket can be read (or written); false on a time-out or an error. */
bool waitFor (SOCKET s, bool forWriting, int timeoutMs)
{
    fd_set set, errors;
    FD_ZERO (&set);
    FD_ZERO (&errors);
    FD_SET (s, &set);
    FD_SET (s, &errors);
    timeval timeout { timeoutMs / 1000, (timeoutMs % 1000) * 1000 };
    const auto n = select (0, forWriting ? nullptr : &set, forWriting ? &set : nullptr, &errors, &timeout);
    return n > 0 && FD_ISSET (s, &set) && ! FD_ISSET (s, &errors);
}
} // namespace

DriverLinkClient::DriverLinkClient (std::uint16_t p, Receiver& r)
    : port (p)
    , receiver (r)
{
    WSADATA data;
    WSAStartup (MAKEWORD (2, 2), &data);
}

DriverLinkClient::~DriverLinkClient()
{
    {
        const std::lock_guard<std::mutex> guard (stateMutex);
        stopping = true;
    }

    stateChanged.notify_all();

    if (thread.joinable())
        thread.join();

    WSACleanup();
}

void DriverLinkClient::start()
{
    thread = std::thread ([this]
                          { run(); });

    // The first connect is refused at once when nothing listens; with a keyboard process
    // its port list follows within a round trip.
    std::unique_lock<std::mutex> guard (stateMutex);
    stateChanged.wait_for (guard, std::chrono::milliseconds (connectTimeoutMs + ioTimeoutMs), [this]
                           { return firstListSeen || (linkNumber > 0 && ! connected); });
}

void DriverLinkClient::run()
{
    for (;;)
    {
        if (connect())
        {
            readUntilLost();
            disconnect();
            receiver.linkLost();
        }

        std::unique_lock<std::mutex> guard (stateMutex);

        // A failed first try counts as a link that went, so that start() stops waiting.
        ++linkNumber;
        connected = false;
        answers.clear();
        stateChanged.notify_all();

        if (stateChanged.wait_for (guard, std::chrono::milliseconds (retryIntervalMs), [this]
                                   { return stopping; }))
            return;
    }
}

bool DriverLinkClient::connect()
{
    auto s = ::socket (AF_INET, SOCK_STREAM, IPPROTO_TCP);

    if (s == INVALID_SOCKET)
        return false;

    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons (port);
    address.sin_addr.s_addr = htonl (INADDR_LOOPBACK);

    // Non-blocking while connecting, so that the time-out is ours.
    u_long nonBlocking = 1;
    ioctlsocket (s, FIONBIO, &nonBlocking);
    const auto started = ::connect (s, reinterpret_cast<sockaddr*> (&address), sizeof (address));
    auto ok = started == 0 || (WSAGetLastError() == WSAEWOULDBLOCK && waitFor (s, true, connectTimeoutMs));

    if (ok)
    {
        int error = 0;
        int length = sizeof (error);
        ok = getsockopt (s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*> (&error), &length) == 0 && error == 0;
    }

    if (! ok)
    {
        closesocket (s);
        return false;
    }

    nonBlocking = 0;
    ioctlsocket (s, FIONBIO, &nonBlocking);
    const DWORD timeout = ioTimeoutMs;
    setsockopt (s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*> (&timeout), sizeof (timeout));
    const BOOL noDelay = TRUE;
    setsockopt (s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*> (&noDelay), sizeof (noDelay));

    {
        const std::lock_guard<std::mutex> guard (sendMutex);
        socket = s;
    }

    {
        const std::lock_guard<std::mutex> guard (stateMutex);
        connected = true;
    }

    Writer hello (Frame::hello);
    hello.u32 (version);
    return send (hello);
}

void DriverLinkClient::disconnect()
{
    const std::lock_guard<std::mutex> guard (sendMutex);

    if (socket != INVALID_SOCKET)
        closesocket (socket);

    socket = INVALID_SOCKET;
}

bool DriverLinkClient::readExactly (std::uint8_t* data, std::size_t size)
{
    // Only this thread closes the socket, so it stays valid while read here.
    const auto s = socket;

    while (size > 0)
    {
        {
            const std::lock_guard<std::mutex> guard (stateMutex);

            if (stopping)
                return false;
        }

        if (! waitFor (s, false, 100))
        {
            // A time-out is only a chance to look at the stop flag; an error ends the link.
            fd_set errors;
            FD_ZERO (&errors);
            FD_SET (s, &errors);
            timeval none {};

            if (select (0, nullptr, nullptr, &errors, &none) != 0)
                return false;

            continue;
        }

        const auto n = recv (s, reinterpret_cast<char*> (data), (int) size, 0);

        if (n <= 0)
            return false;

        data += n;
        size -= (std::size_t) n;
    }

    return true;
}

void DriverLinkClient::readUntilLost()
{
    std::vector<std::uint8_t> body;

    for (;;)
    {
        std::uint8_t header[headerSize];

        if (! readExactly (header, headerSize))
            return;

        const auto size = bodySizeOf (header);

        if (size > maxBodySize)
            return;

        body.resize (size);

        if (! readExactly (body.data(), size))
            return;

        const auto type = (Frame) header[4];
        Reader reader (body.data(), body.size());

        if (type == Frame::openResult || type == Frame::accepted)
        {
            const auto id = reader.u32();
            const auto result = reader.u32();
            const std::lock_guard<std::mutex> guard (stateMutex);
            answers[answerKey (type, id)] = result;
            stateChanged.notify_all();
            continue;
        }

        receiver.frameReceived (type, reader);

        if (type == Frame::portList)
        {
            const std::lock_guard<std::mutex> guard (stateMutex);
            firstListSeen = true;
            stateChanged.notify_all();
        }
    }
}

bool DriverLinkClient::send (Writer& frame)
{
    const auto& bytes = frame.frame();
    const std::lock_guard<std::mutex> guard (sendMutex);

    if (socket == INVALID_SOCKET)
        return false;

    for (std::size_t done = 0; done < bytes.size();)
    {
        const auto n = ::send (socket, reinterpret_cast<const char*> (bytes.data() + done), (int) (bytes.size() - done), 0);

        // A send that times out leaves half a frame on the wire: the link is no use any more.
        if (n <= 0)
        {
            shutdown (socket, SD_BOTH);
            return false;
        }

        done += (std::size_t) n;
    }

    return true;
}

std::optional<std::uint32_t> DriverLinkClient::request (Writer& frame, Frame answer, std::uint32_t id)
{
    unsigned link;

    {
        const std::lock_guard<std::mutex> guard (stateMutex);
        link = linkNumber;
    }

    if (! send (frame))
        return {};

    const auto key = answerKey (answer, id);
    std::unique_lock<std::mutex> guard (stateMutex);

    if (! stateChanged.wait_for (guard, std::chrono::milliseconds (answerTimeoutMs), [&]
                                 { return answers.count (key) > 0 || linkNumber != link || stopping; }))
        return {};

    const auto it = answers.find (key);

    if (it == answers.end())
        return {};

    const auto result = it->second;
    answers.erase (it);
    return result;
}
