#include "sim/driver/DriverSlotTable.h"

#include <mmddk.h>
#include <mmreg.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

using namespace DriverLinkProtocol;

namespace
{
/** The bytes of a short message with this status byte. */
std::size_t shortMessageLength (std::uint8_t status)
{
    if (status < 0xF0)
        return (status & 0xE0) == 0xC0 ? 2 : 3;

    if (status == 0xF1 || status == 0xF3)
        return 2;

    return status == 0xF2 ? 3 : 1;
}

DWORD prepare (DWORD_PTR param1, DWORD_PTR param2, bool prepareIt)
{
    auto* header = reinterpret_cast<MIDIHDR*> (param1);

    if (header == nullptr || param2 < offsetof (MIDIHDR, dwOffset))
        return MMSYSERR_INVALPARAM;

    if (prepareIt)
    {
        header->dwFlags = (header->dwFlags | MHDR_PREPARED) & ~(DWORD) (MHDR_DONE | MHDR_INQUEUE);
        return MMSYSERR_NOERROR;
    }

    if ((header->dwFlags & MHDR_INQUEUE) != 0)
        return MIDIERR_STILLPLAYING;

    header->dwFlags &= ~(DWORD) MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

/** A header the application may hand to the driver: prepared and not queued already. */
DWORD checkHeader (const MIDIHDR* header)
{
    if (header == nullptr || header->lpData == nullptr)
        return MMSYSERR_INVALPARAM;

    if ((header->dwFlags & MHDR_PREPARED) == 0)
        return MIDIERR_UNPREPARED;

    return (header->dwFlags & MHDR_INQUEUE) != 0 ? MIDIERR_STILLPLAYING : MMSYSERR_NOERROR;
}

void markDone (MIDIHDR* header)
{
    header->dwFlags = (header->dwFlags & ~(DWORD) MHDR_INQUEUE) | MHDR_DONE;
}

std::wstring wide (const std::string& utf8)
{
    std::wstring result ((std::size_t) MultiByteToWideChar (CP_UTF8, 0, utf8.data(), (int) utf8.size(), nullptr, 0), L'\0');
    MultiByteToWideChar (CP_UTF8, 0, utf8.data(), (int) utf8.size(), result.data(), (int) result.size());
    return result;
}

template <typename Caps>
void fillCommonCaps (Caps& caps, const std::wstring& name)
{
    caps.wMid = MM_UNMAPPED;
    caps.wPid = MM_PID_UNMAPPED;
    caps.vDriverVersion = 0x0100;
    const auto length = std::min (name.size(), (std::size_t) MAXPNAMELEN - 1);
    std::copy_n (name.begin(), length, caps.szPname);
    caps.szPname[length] = L'\0';
    static_assert (sizeof (GUID) == sizeof (Guid));
    std::memcpy (&caps.ProductGuid, &productGuid, sizeof (GUID));
}
} // namespace

DriverSlotTable::DriverSlotTable (DriverCallbackQueue& queue)
    : callbacks (queue)
{
}

template <typename Function>
void DriverSlotTable::forEachSlot (Function&& function)
{
    for (auto& slot : outputs)
        function (static_cast<Slot&> (slot), false);

    for (auto& slot : inputs)
        function (static_cast<Slot&> (slot), true);
}

//==============================================================================
std::optional<DWORD> DriverSlotTable::answerForAnySlot (UINT message, UINT getNumDevs, UINT index)
{
    // The driver's own messages and the count are the same for every slot and both ways.
    switch (message)
    {
        case DRVM_INIT:
        case DRVM_EXIT:
        case DRVM_ENABLE:
        case DRVM_DISABLE:
            return MMSYSERR_NOERROR;
        default:
            break;
    }

    if (message == getNumDevs)
        return numSlots;

    if (index >= numSlots)
        return MMSYSERR_BADDEVICEID;

    return std::nullopt;
}

DWORD DriverSlotTable::outputMessage (UINT index, UINT message, DWORD_PTR param1, DWORD_PTR param2)
{
    if (const auto answer = answerForAnySlot (message, MODM_GETNUMDEVS, index))
        return *answer;

    auto& slot = outputs[index];

    switch (message)
    {
        case MODM_GETDEVCAPS:
            return getCaps (slot, false, param1, param2);
        case MODM_OPEN:
            return open (slot, false, reinterpret_cast<const MIDIOPENDESC*> (param1), (DWORD) param2);
        case MODM_CLOSE:
            return close (slot, false);
        case MODM_PREPARE:
            return prepare (param1, param2, true);
        case MODM_UNPREPARE:
            return prepare (param1, param2, false);
        case MODM_DATA:
            return sendShort (slot, (DWORD) param1);
        case MODM_LONGDATA:
            return sendLong (slot, reinterpret_cast<MIDIHDR*> (param1));
        case MODM_RESET:
            resetOutput (slot);
            return MMSYSERR_NOERROR;
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

DWORD DriverSlotTable::inputMessage (UINT index, UINT message, DWORD_PTR param1, DWORD_PTR param2)
{
    if (const auto answer = answerForAnySlot (message, MIDM_GETNUMDEVS, index))
        return *answer;

    auto& slot = inputs[index];

    switch (message)
    {
        case MIDM_GETDEVCAPS:
            return getCaps (slot, true, param1, param2);
        case MIDM_OPEN:
            return open (slot, true, reinterpret_cast<const MIDIOPENDESC*> (param1), (DWORD) param2);
        case MIDM_CLOSE:
            return close (slot, true);
        case MIDM_PREPARE:
            return prepare (param1, param2, true);
        case MIDM_UNPREPARE:
            return prepare (param1, param2, false);
        case MIDM_ADDBUFFER:
            return addBuffer (slot, reinterpret_cast<MIDIHDR*> (param1));
        case MIDM_START:
        case MIDM_STOP:
        case MIDM_RESET:
        {
            const std::lock_guard<std::mutex> guard (mutex);

            if (slot.openPort == 0)
                return MMSYSERR_INVALHANDLE;

            slot.started = message == MIDM_START;

            if (slot.started)
                slot.startTicks = GetTickCount();
            else
                returnBuffers (slot, message == MIDM_RESET);

            return MMSYSERR_NOERROR;
        }
        case droppedInputQuery:
        {
            if (param1 == 0)
                return MMSYSERR_INVALPARAM;

            const std::lock_guard<std::mutex> guard (mutex);
            *reinterpret_cast<DWORD*> (param1) = slot.dropped;
            return MMSYSERR_NOERROR;
        }
        default:
            return MMSYSERR_NOTSUPPORTED;
    }
}

//==============================================================================
DWORD DriverSlotTable::getCaps (const Slot& slot, bool isInput, DWORD_PTR caps, DWORD_PTR size)
{
    if (caps == 0)
        return MMSYSERR_INVALPARAM;

    const std::lock_guard<std::mutex> guard (mutex);

    if (slot.port.id == 0)
        return MMSYSERR_NODRIVER;

    // The GUIDs reach only a caller that passes the larger structure's size.
    if (isInput)
    {
        MIDIINCAPS2W full {};
        fillCommonCaps (full, slot.port.name);
        std::memcpy (reinterpret_cast<void*> (caps), &full, std::min<std::size_t> (size, sizeof (full)));
    }
    else
    {
        MIDIOUTCAPS2W full {};
        fillCommonCaps (full, slot.port.name);
        full.wTechnology = MOD_MIDIPORT;
        full.wChannelMask = 0xFFFF;
        std::memcpy (reinterpret_cast<void*> (caps), &full, std::min<std::size_t> (size, sizeof (full)));
    }

    return MMSYSERR_NOERROR;
}

DWORD DriverSlotTable::open (Slot& slot, bool isInput, const MIDIOPENDESC* description, DWORD flags)
{
    if (description == nullptr)
        return MMSYSERR_INVALPARAM;

    std::uint32_t portId, request;

    {
        const std::lock_guard<std::mutex> guard (mutex);

        if (slot.port.id == 0)
            return MMSYSERR_NODRIVER;

        if (slot.openPort != 0 || slot.opening)
            return MMSYSERR_ALLOCATED;

        slot.opening = true;
        portId = slot.port.id;
        request = nextId++;
    }

    // The keyboard process decides, so that one program at a time holds a port, as on
    // Windows, across all the processes that load this driver.
    Writer frame (Frame::open);
    frame.u32 (request).u32 (portId).u8 (isInput ? 1 : 0);
    const auto result = link->request (frame, Frame::openResult, request);

    const std::lock_guard<std::mutex> guard (mutex);
    slot.opening = false;

    if (! result.has_value())
        return MMSYSERR_NODRIVER;

    if (*result != ok)
        return *result;

    if (slot.port.id != portId)
    {
        // Gone while it was being opened.
        Writer closing (Frame::close);
        closing.u32 (portId).u8 (isInput ? 1 : 0);
        link->send (closing);
        return MMSYSERR_NODRIVER;
    }

    slot.openPort = portId;
    slot.target = { description->dwCallback, HIWORD (flags & CALLBACK_TYPEMASK), reinterpret_cast<HDRVR> (description->hMidi), description->dwInstance };

    if (isInput)
    {
        auto& in = static_cast<InputSlot&> (slot);
        in.started = in.inSysex = false;
        in.dropped = 0;
    }
    else
    {
        static_cast<OutputSlot&> (slot).runningStatus = 0;
    }

    callbacks.post (slot.target, isInput ? MIM_OPEN : MOM_OPEN, 0, 0);
    return MMSYSERR_NOERROR;
}

DWORD DriverSlotTable::close (Slot& slot, bool isInput)
{
    std::uint32_t portId;

    {
        const std::lock_guard<std::mutex> guard (mutex);

        if (slot.openPort == 0)
            return MMSYSERR_INVALHANDLE;

        const auto stillQueued = isInput ? ! static_cast<InputSlot&> (slot).buffers.empty()
                                         : ! static_cast<OutputSlot&> (slot).queued.empty();

        // As on Windows: the application must reset first to get its headers back.
        if (stillQueued)
            return MIDIERR_STILLPLAYING;

        portId = slot.openPort;
        slot.openPort = 0;
        callbacks.post (slot.target, isInput ? MIM_CLOSE : MOM_CLOSE, 0, 0);
    }

    Writer frame (Frame::close);
    frame.u32 (portId).u8 (isInput ? 1 : 0);
    link->send (frame);
    return MMSYSERR_NOERROR;
}

//==============================================================================
DWORD DriverSlotTable::sendShort (OutputSlot& slot, DWORD packed)
{
    std::uint8_t bytes[3] = { (std::uint8_t) packed, (std::uint8_t) (packed >> 8), (std::uint8_t) (packed >> 16) };
    std::size_t length;
    std::uint32_t portId;

    {
        const std::lock_guard<std::mutex> guard (mutex);

        if (slot.openPort == 0)
            return MMSYSERR_INVALHANDLE;

        if (slot.port.id != slot.openPort)
            return MMSYSERR_NODRIVER;

        portId = slot.openPort;

        if (bytes[0] < 0x80)
        {
            // Running status: only the data bytes go out, as the application gave them.
            if (slot.runningStatus == 0)
                return MIDIERR_BADOPENMODE;

            length = shortMessageLength (slot.runningStatus) - 1;
        }
        else
        {
            if (bytes[0] < 0xF0)
                slot.runningStatus = bytes[0];
            else if (bytes[0] < 0xF8)
                slot.runningStatus = 0;

            length = shortMessageLength (bytes[0]);
        }
    }

    Writer frame (Frame::send);
    frame.u32 (0).u32 (portId).raw (bytes, length);
    return link->send (frame) ? MMSYSERR_NOERROR : (DWORD) MMSYSERR_NODRIVER;
}

DWORD DriverSlotTable::sendLong (OutputSlot& slot, MIDIHDR* header)
{
    if (const auto problem = checkHeader (header); problem != MMSYSERR_NOERROR)
        return problem;

    std::uint32_t portId, tag;

    {
        const std::lock_guard<std::mutex> guard (mutex);

        if (slot.openPort == 0)
            return MMSYSERR_INVALHANDLE;

        if (slot.port.id != slot.openPort)
            return MMSYSERR_NODRIVER;

        portId = slot.openPort;
        tag = nextId++;
        header->dwFlags = (header->dwFlags & ~(DWORD) MHDR_DONE) | MHDR_INQUEUE;
        slot.queued.push_back ({ tag, header });
    }

    // The bytes exactly as given, whatever the first one: a firmware block in the middle
    // of a SysEx stream starts with none.
    Writer frame (Frame::send);
    frame.u32 (tag).u32 (portId).raw (header->lpData, header->dwBufferLength);
    const auto result = link->request (frame, Frame::accepted, tag);

    if (result.has_value() && *result == ok)
        return MMSYSERR_NOERROR;

    // Refused, or no answer in time: the header is the application's again.
    const std::lock_guard<std::mutex> guard (mutex);
    auto& queued = slot.queued;
    const auto it = std::find_if (queued.begin(), queued.end(), [tag] (auto& entry)
                                  { return entry.first == tag; });

    if (it != queued.end())
    {
        queued.erase (it);
        header->dwFlags &= ~(DWORD) MHDR_INQUEUE;
    }

    return result.has_value() ? *result : (DWORD) MMSYSERR_ERROR;
}

void DriverSlotTable::resetOutput (OutputSlot& slot)
{
    const std::lock_guard<std::mutex> guard (mutex);
    resetOutputLocked (slot);
}

void DriverSlotTable::resetOutputLocked (OutputSlot& slot)
{
    for (auto& [tag, header] : slot.queued)
    {
        markDone (header);
        callbacks.post (slot.target, MOM_DONE, reinterpret_cast<DWORD_PTR> (header), 0);
    }

    slot.queued.clear();
}

void DriverSlotTable::completeSend (std::uint32_t tag)
{
    const std::lock_guard<std::mutex> guard (mutex);

    for (auto& slot : outputs)
    {
        const auto it = std::find_if (slot.queued.begin(), slot.queued.end(), [tag] (auto& entry)
                                      { return entry.first == tag; });

        if (it != slot.queued.end())
        {
            markDone (it->second);
            callbacks.post (slot.target, MOM_DONE, reinterpret_cast<DWORD_PTR> (it->second), 0);
            slot.queued.erase (it);
            return;
        }
    }
}

//==============================================================================
DWORD DriverSlotTable::addBuffer (InputSlot& slot, MIDIHDR* header)
{
    if (const auto problem = checkHeader (header); problem != MMSYSERR_NOERROR)
        return problem;

    const std::lock_guard<std::mutex> guard (mutex);

    if (slot.openPort == 0)
        return MMSYSERR_INVALHANDLE;

    header->dwFlags = (header->dwFlags & ~(DWORD) MHDR_DONE) | MHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    slot.buffers.push_back (header);
    return MMSYSERR_NOERROR;
}

void DriverSlotTable::returnBuffers (InputSlot& slot, bool all)
{
    // A stop returns only a buffer that holds part of a message; a reset returns them all.
    while (! slot.buffers.empty() && (all || slot.buffers.front()->dwBytesRecorded > 0))
    {
        auto* header = slot.buffers.front();
        slot.buffers.pop_front();
        markDone (header);
        callbacks.post (slot.target, MIM_LONGDATA, reinterpret_cast<DWORD_PTR> (header), GetTickCount() - slot.startTicks);
    }

    slot.inSysex = false;
}

void DriverSlotTable::deliverInput (InputSlot& slot, const std::vector<std::uint8_t>& bytes)
{
    if (bytes.empty())
        return;

    // Windows drops what arrives while the application is not listening.
    if (! slot.started)
    {
        slot.dropped += (DWORD) bytes.size();
        return;
    }

    const DWORD_PTR time = GetTickCount() - slot.startTicks;

    if (bytes[0] != 0xF0 && ! slot.inSysex)
    {
        DWORD packed = 0;

        for (std::size_t i = 0; i < std::min<std::size_t> (bytes.size(), 3); ++i)
            packed |= (DWORD) bytes[i] << (8 * i);

        callbacks.post (slot.target, MIM_DATA, packed, time);
        return;
    }

    slot.inSysex = bytes.back() != 0xF7;

    for (std::size_t i = 0; i < bytes.size(); ++i)
    {
        if (slot.buffers.empty())
        {
            slot.dropped += (DWORD) (bytes.size() - i);
            return;
        }

        auto* header = slot.buffers.front();
        reinterpret_cast<std::uint8_t*> (header->lpData)[header->dwBytesRecorded++] = bytes[i];

        if (bytes[i] == 0xF7 || header->dwBytesRecorded >= header->dwBufferLength)
        {
            slot.buffers.pop_front();
            markDone (header);
            callbacks.post (slot.target, MIM_LONGDATA, reinterpret_cast<DWORD_PTR> (header), time);
        }
    }
}

//==============================================================================
void DriverSlotTable::frameReceived (Frame type, Reader& body)
{
    if (type == Frame::portList)
    {
        takePortList (body);
    }
    else if (type == Frame::done)
    {
        completeSend (body.u32());
    }
    else if (type == Frame::input)
    {
        const auto portId = body.u32();
        const auto bytes = body.rest();
        const std::lock_guard<std::mutex> guard (mutex);

        for (auto& slot : inputs)
            if (slot.openPort == portId && slot.port.id == portId)
                deliverInput (slot, bytes);
    }
}

void DriverSlotTable::takePortList (Reader& body)
{
    struct Listed
    {
        std::uint32_t id;
        bool isInput;
        std::wstring name;
    };

    std::vector<Listed> listed;

    for (auto n = body.u32(); n > 0 && ! body.isBad(); --n)
    {
        Listed port;
        port.id = body.u32();
        port.isInput = body.u8() != 0;
        port.name = wide (body.text());
        listed.push_back (std::move (port));
    }

    if (body.isBad())
        return;

    const std::lock_guard<std::mutex> guard (mutex);

    // Ports that went leave their slots; a slot still open stays taken until closed.
    forEachSlot ([&] (Slot& slot, bool isInput)
                 {
                     const auto stays = std::any_of (listed.begin(), listed.end(), [&] (auto& p)
                                                     { return p.id == slot.port.id && p.isInput == isInput; });

                     if (! stays)
                         slot.port = {}; });

    for (auto& port : listed)
    {
        bool placed = false;
        forEachSlot ([&] (Slot& slot, bool isInput)
                     { placed = placed || (isInput == port.isInput && slot.port.id == port.id); });

        forEachSlot ([&] (Slot& slot, bool isInput)
                     {
                         if (! placed && isInput == port.isInput && slot.port.id == 0 && slot.openPort == 0 && ! slot.opening)
                         {
                             slot.port = { port.id, port.name };
                             placed = true;
                         } });
    }

    // What was queued on an output whose port went will never be taken: give it back.
    for (auto& slot : outputs)
        if (slot.openPort != 0 && slot.port.id != slot.openPort)
            resetOutputLocked (slot);
}

void DriverSlotTable::linkLost()
{
    const std::lock_guard<std::mutex> guard (mutex);

    forEachSlot ([] (Slot& slot, bool)
                 { slot.port = {}; });

    for (auto& slot : outputs)
        if (slot.openPort != 0)
            resetOutputLocked (slot);
}
