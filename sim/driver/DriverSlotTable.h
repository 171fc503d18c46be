#pragma once

#include "sim/driver/DriverCallbackQueue.h"
#include "sim/driver/DriverLinkClient.h"

#include <mmsystem.h>

#include <array>
#include <deque>
#include <optional>
#include <string>

/** The driver's fixed device slots, 8 in each direction, and what an application does
    with them: the answers to WinMM's modMessage and midMessage.

    A slot shows a port of the keyboard process while that process lists it. A port keeps
    its slot while it is listed and a new port takes the lowest free one, so that WinMM's
    device IDs, fixed for the life of the process, keep meaning the same port. An empty
    slot or a port that has gone answers MMSYSERR_NODRIVER: the ID is one WinMM knows,
    but no device stands behind it, as for a device a driver has seen removed.
*/
class DriverSlotTable final : public DriverLinkClient::Receiver
{
public:
    static constexpr UINT numSlots = 8;

    DriverSlotTable (DriverCallbackQueue& callbacks);

    /** Must be called before any message: where opens and sends go. */
    void setLink (DriverLinkClient& client) { link = &client; }

    DWORD outputMessage (UINT slot, UINT message, DWORD_PTR param1, DWORD_PTR param2);
    DWORD inputMessage (UINT slot, UINT message, DWORD_PTR param1, DWORD_PTR param2);

    void frameReceived (DriverLinkProtocol::Frame type, DriverLinkProtocol::Reader& body) override;
    void linkLost() override;

private:
    /** The answer to a message that does not depend on the slot, or to a slot that does
        not exist; nothing for the rest.
    */
    static std::optional<DWORD> answerForAnySlot (UINT message, UINT getNumDevs, UINT index);

    struct Port
    {
        std::uint32_t id = 0; // 0: the slot is empty
        std::wstring name;
    };

    /** What is common to an open output and an open input. */
    struct Slot
    {
        Port port;
        std::uint32_t openPort = 0; // the port an application holds open here; 0: none
        bool opening = false;
        DriverCallbackQueue::Target target;
    };

    struct OutputSlot : Slot
    {
        std::deque<std::pair<std::uint32_t, MIDIHDR*>> queued; // by tag, oldest first
        std::uint8_t runningStatus = 0;
    };

    struct InputSlot : Slot
    {
        bool started = false;
        DWORD startTicks = 0;
        std::deque<MIDIHDR*> buffers;
        DWORD dropped = 0;
        bool inSysex = false;
    };

    DWORD getCaps (const Slot& slot, bool isInput, DWORD_PTR caps, DWORD_PTR size);
    DWORD open (Slot& slot, bool isInput, const MIDIOPENDESC* description, DWORD flags);
    DWORD close (Slot& slot, bool isInput);
    DWORD sendShort (OutputSlot& slot, DWORD packed);
    DWORD sendLong (OutputSlot& slot, MIDIHDR* header);
    void resetOutput (OutputSlot& slot);
    void resetOutputLocked (OutputSlot& slot);
    DWORD addBuffer (InputSlot& slot, MIDIHDR* header);
    void returnBuffers (InputSlot& slot, bool all);
    void deliverInput (InputSlot& slot, const std::vector<std::uint8_t>& bytes);

    void takePortList (DriverLinkProtocol::Reader& body);
    void completeSend (std::uint32_t tag);

    /** Both directions' slots as one list, for what is the same in each. */
    template <typename Function>
    void forEachSlot (Function&& function);

    DriverCallbackQueue& callbacks;
    DriverLinkClient* link = nullptr;

    std::mutex mutex; // the slots; never held across a link call or a callback
    std::array<OutputSlot, numSlots> outputs;
    std::array<InputSlot, numSlots> inputs;
    std::uint32_t nextId = 1; // open requests and send tags

    DriverSlotTable (const DriverSlotTable&) = delete;
    DriverSlotTable& operator= (const DriverSlotTable&) = delete;
};
