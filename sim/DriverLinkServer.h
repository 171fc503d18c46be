#pragma once

#include "sim/DriverFault.h"
#include "sim/DriverLinkProtocol.h"
#include "sim/VirtualMidiPortSystem.h"

/** The keyboard process's end of the link to our WinMM test driver: serves the computer's
    side of a VirtualMidiPortSystem (the port list as it changes, opens and closes, sends,
    input) to every driver instance that connects over TCP on 127.0.0.1, and answers
    control requests (see sim/DriverLinkProtocol.h).

    A port is held by one connection at a time, as a WinMM port by one program: a second
    open, from the same process or another, gets MMSYSERR_ALLOCATED. Long sends are
    answered at once (taken on, or refused by a fault), and done once the keyboard's
    receiver has taken the bytes, one after another in the order they came.
*/
class DriverLinkServer final : private juce::Thread
{
public:
    /** Answers a control request: a status (0: passed) and a text to print. */
    using ControlHandler = std::function<std::pair<int, juce::String> (const juce::String& request)>;

    DriverLinkServer (VirtualMidiPortSystem::Ptr ports, std::vector<DriverFault> faults, ControlHandler controlHandler);
    ~DriverLinkServer() override;

    /** Listens on this port of 127.0.0.1 (0: a free one); false when it cannot. */
    bool start (int port);

    int getPort() const { return listener.getBoundPort(); }

    /** Sends a control request to the keyboard process on this port and waits for its
        answer; nothing when there is none in time.
    */
    static std::optional<std::pair<int, juce::String>> requestControl (int port, const juce::String& request, int timeoutMs);

private:
    class Connection;

    void run() override;
    std::vector<juce::uint8> portListFrame();

    /** An open request of a connection: the result to answer with. */
    DriverLinkProtocol::Result claim (Connection& connection, int portId, bool isInput);
    void release (Connection& connection, int portId, bool isInput);
    std::optional<FirmwareBlockCounter::Block> countBlock (const std::vector<juce::uint8>& bytes);
    const DriverFault* faultAt (const std::optional<FirmwareBlockCounter::Block>& block) const;

    VirtualMidiPortSystem::Ptr ports;
    const std::vector<DriverFault> faults;
    const ControlHandler controlHandler;
    juce::StreamingSocket listener;

    std::mutex mutex; // the owners, the busy count and the block counter
    std::map<std::pair<int, bool>, Connection*> owners;
    int busyOpensLeft = 0;
    FirmwareBlockCounter blockCounter;

    std::vector<std::unique_ptr<Connection>> connections; // the server's thread only

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (DriverLinkServer)
};
