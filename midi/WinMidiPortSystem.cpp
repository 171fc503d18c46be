#include "midi/WinMidiPortSystem.h"

#include <juce_audio_basics/midi/juce_MidiDataConcatenator.h>

#include <windows.h>

#include <mmsystem.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>

namespace
{
/** The ProductGuid that our WinMM test driver (the simulated keyboard's ports under Wine)
    gives every port: {5A736007-CFD7-4E2C-AC69-8DACC12A6D1A}. It must stay the driver's.
*/
constexpr GUID testDriverProductGuid { 0x5a736007, 0xcfd7, 0x4e2c, { 0xac, 0x69, 0x8d, 0xac, 0xc1, 0x2a, 0x6d, 0x1a } };

/** The message (DRVM_USER + 1) on which our test driver tells how many input bytes it
    dropped, for want of a queued buffer or before the input was started. Never sent to
    another driver: to one of them it may mean something else.
*/
constexpr UINT testDriverDroppedInputQuery = 0x4001;

/** How long a driver may take to hand back a header after midiOutReset. */
constexpr int resetGraceMs = 500;

juce::String resultText (MMRESULT result)
{
    switch (result)
    {
        case MMSYSERR_NOERROR:
            return "MMSYSERR_NOERROR";
        case MMSYSERR_ERROR:
            return "MMSYSERR_ERROR";
        case MMSYSERR_BADDEVICEID:
            return "MMSYSERR_BADDEVICEID";
        case MMSYSERR_NOTENABLED:
            return "MMSYSERR_NOTENABLED";
        case MMSYSERR_ALLOCATED:
            return "MMSYSERR_ALLOCATED";
        case MMSYSERR_INVALHANDLE:
            return "MMSYSERR_INVALHANDLE";
        case MMSYSERR_NODRIVER:
            return "MMSYSERR_NODRIVER";
        case MMSYSERR_NOMEM:
            return "MMSYSERR_NOMEM";
        case MMSYSERR_NOTSUPPORTED:
            return "MMSYSERR_NOTSUPPORTED";
        case MMSYSERR_INVALFLAG:
            return "MMSYSERR_INVALFLAG";
        case MMSYSERR_INVALPARAM:
            return "MMSYSERR_INVALPARAM";
        case MMSYSERR_NODRIVERCB:
            return "MMSYSERR_NODRIVERCB";
        case MIDIERR_UNPREPARED:
            return "MIDIERR_UNPREPARED";
        case MIDIERR_STILLPLAYING:
            return "MIDIERR_STILLPLAYING";
        case MIDIERR_NOTREADY:
            return "MIDIERR_NOTREADY";
        case MIDIERR_BADOPENMODE:
            return "MIDIERR_BADOPENMODE";
        default:
            break;
    }

    return "MMRESULT " + juce::String ((int) result);
}

bool isDone (const MIDIHDR& header)
{
    // The driver sets the flag on a thread of its own.
    return (reinterpret_cast<const volatile DWORD&> (header.dwFlags) & MHDR_DONE) != 0;
}

bool sameGuid (const GUID& a, const GUID& b)
{
    return std::memcmp (&a, &b, sizeof (GUID)) == 0;
}

/** Whether a registry string names this file, whatever its case. */
bool namesFile (const juce::String& value, const char* file)
{
    return value.trim().fromLastOccurrenceOf ("\\", false, false).equalsIgnoreCase (file);
}

/** Whether the WinMM drivers that the machine's "midi" entries name include Windows MIDI
    Services' own (wdmaud2.drv). Users may read these entries; WinMM loads what they name.
*/
bool drivers32NamesMidiServices()
{
    HKEY key = nullptr;

    if (RegOpenKeyExW (HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32", 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return false;

    bool found = false;

    for (DWORD i = 0; ! found; ++i)
    {
        WCHAR name[256] = {}, data[MAX_PATH] = {};
        DWORD nameLength = (DWORD) std::size (name), dataBytes = sizeof (data) - sizeof (WCHAR), type = 0;

        if (RegEnumValueW (key, i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*> (data), &dataBytes) != ERROR_SUCCESS)
            break;

        const juce::String entry (name);
        found = type == REG_SZ && entry.startsWithIgnoreCase ("midi") && ! entry.equalsIgnoreCase ("midimapper")
                && namesFile (juce::String (data), "wdmaud2.drv");
    }

    RegCloseKey (key);
    return found;
}

/** The state of Windows MIDI Services' service, as any user may ask the service manager. */
juce::String midiServiceState()
{
    const auto manager = OpenSCManagerW (nullptr, nullptr, SC_MANAGER_CONNECT);

    if (manager == nullptr)
        return "unknown";

    juce::String state = "not installed";

    if (const auto service = OpenServiceW (manager, L"midisrv", SERVICE_QUERY_STATUS))
    {
        SERVICE_STATUS status {};
        state = ! QueryServiceStatus (service, &status) ? "unknown" : (status.dwCurrentState == SERVICE_RUNNING ? "running" : "not running");
        CloseServiceHandle (service);
    }

    CloseServiceHandle (manager);
    return state;
}
} // namespace

//==============================================================================
class WinMidiPortSystem::ErrorRecord
{
public:
    /** Keeps one line per distinct error, with how often it came. */
    void add (const juce::String& line)
    {
        const std::lock_guard<std::mutex> guard (mutex);
        const auto index = lines.indexOf (line);

        if (index >= 0)
            ++counts.getReference (index);
        else if (lines.size() < maxLines)
        {
            lines.add (line);
            counts.add (1);
        }
    }

    void add (const char* call, MMRESULT result, const juce::String& where)
    {
        add (juce::String (call) + " (" + where + "): " + resultText (result));
    }

    juce::StringArray get() const
    {
        const std::lock_guard<std::mutex> guard (mutex);
        juce::StringArray result;

        for (int i = 0; i < lines.size(); ++i)
            result.add (lines[i] + (counts[i] > 1 ? ", " + juce::String (counts[i]) + " times" : juce::String()));

        return result;
    }

private:
    static constexpr int maxLines = 100;

    mutable std::mutex mutex;
    juce::StringArray lines;
    juce::Array<int> counts;
};

//==============================================================================
struct WinMidiPortSystem::ListedPort
{
    UINT deviceId = 0;
    juce::String name, capsName;
    WORD manufacturerId = 0, productId = 0;
    GUID productGuid {}, nameGuid {};

    juce::String describe (bool input) const
    {
        return juce::String (input ? "input" : "output") + " " + juce::String ((int) deviceId) + " \"" + capsName + "\"";
    }

    bool isTestDriver() const { return sameGuid (productGuid, testDriverProductGuid); }

    bool isSameDeviceAs (const ListedPort& other) const
    {
        return deviceId == other.deviceId && capsName == other.capsName && manufacturerId == other.manufacturerId
               && productId == other.productId && sameGuid (productGuid, other.productGuid) && sameGuid (nameGuid, other.nameGuid);
    }

    /** Reads the capabilities of this device ID; the larger structures, for the GUIDs. */
    static MMRESULT read (bool input, UINT id, ListedPort& port)
    {
        port.deviceId = id;

        auto take = [&port] (const auto& caps)
        {
            port.capsName = juce::String (caps.szPname, (size_t) MAXPNAMELEN);
            port.manufacturerId = caps.wMid;
            port.productId = caps.wPid;
            port.productGuid = caps.ProductGuid;
            port.nameGuid = caps.NameGuid;
        };

        if (input)
        {
            MIDIINCAPS2W caps {};
            const auto result = midiInGetDevCapsW (id, reinterpret_cast<MIDIINCAPSW*> (&caps), sizeof (caps));

            if (result == MMSYSERR_NOERROR)
                take (caps);

            return result;
        }

        MIDIOUTCAPS2W caps {};
        const auto result = midiOutGetDevCapsW (id, reinterpret_cast<MIDIOUTCAPSW*> (&caps), sizeof (caps));

        if (result == MMSYSERR_NOERROR)
            take (caps);

        return result;
    }
};

//==============================================================================
class WinMidiPortSystem::WinOutputPort final : public OutputPort
{
public:
    static std::unique_ptr<WinOutputPort> open (const ListedPort& port, std::shared_ptr<ErrorRecord> errors)
    {
        const auto where = port.describe (false);
        const auto event = CreateEventW (nullptr, FALSE, FALSE, nullptr);

        if (event == nullptr)
        {
            errors->add ("CreateEvent failed for " + where);
            return {};
        }

        HMIDIOUT handle = nullptr;
        const auto result = midiOutOpen (&handle, port.deviceId, (DWORD_PTR) event, 0, CALLBACK_EVENT);

        if (result != MMSYSERR_NOERROR)
        {
            errors->add ("midiOutOpen", result, where);
            CloseHandle (event);
            return {};
        }

        return std::unique_ptr<WinOutputPort> (new WinOutputPort (handle, event, where, std::move (errors)));
    }

    ~WinOutputPort() override
    {
        check ("midiOutReset", midiOutReset (handle));

        if (! check ("midiOutClose", midiOutClose (handle)))
            errors->add ("output left open (" + where + ")");

        CloseHandle (doneEvent);

        // A header that the driver never gave back stays its own: it may still read it.
        if (headerLost)
            static_cast<void> (buffer.release());
    }

    bool sendMessageNow (const juce::MidiMessage& message) override
    {
        const auto* data = message.getRawData();
        const auto size = message.getRawDataSize();

        if (size <= 0)
            return false;

        // Only a whole short message goes as one: a firmware block of three bytes or fewer
        // from the end of an image starts with a data byte, and must reach the keyboard as
        // it is.
        const auto isShortMessage = size <= 3 && data[0] >= 0x80 && data[0] != 0xF0 && data[0] != 0xF7
                                    && juce::MidiMessage::getMessageLengthFromFirstByte (data[0]) == size;

        if (isShortMessage)
            return sendShort (data, size);

        for (int offset = 0; offset < size; offset += maxBytesPerHeader)
            if (! sendLong (data + offset, juce::jmin (maxBytesPerHeader, size - offset)))
                return false;

        return true;
    }

    void stopBackgroundThread() override {}

private:
    struct Buffer
    {
        MIDIHDR header;
        char data[maxBytesPerHeader];
    };

    WinOutputPort (HMIDIOUT h, HANDLE event, juce::String portDescription, std::shared_ptr<ErrorRecord> record)
        : handle (h)
        , doneEvent (event)
        , where (std::move (portDescription))
        , errors (std::move (record))
    {
    }

    bool check (const char* call, MMRESULT result)
    {
        if (result != MMSYSERR_NOERROR)
            errors->add (call, result, where);

        return result == MMSYSERR_NOERROR;
    }

    bool sendShort (const juce::uint8* data, int size)
    {
        DWORD packed = 0;

        for (int i = 0; i < size; ++i)
            packed |= (DWORD) data[i] << (8 * i);

        // A driver that is busy says so; it gets the bound of a long message, no more.
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + sendTimeoutMs (size);

        for (;;)
        {
            const auto result = midiOutShortMsg (handle, packed);

            if (result != MIDIERR_NOTREADY || juce::Time::getMillisecondCounterHiRes() > deadline)
                return check ("midiOutShortMsg", result);

            Sleep (1);
        }
    }

    /** One header of at most maxBytesPerHeader bytes, awaited until done or its bound. */
    bool sendLong (const juce::uint8* data, int size)
    {
        if (headerLost)
        {
            errors->add ("send refused: the driver still holds an earlier header (" + where + ")");
            return false;
        }

        auto& header = buffer->header;
        header = {};
        std::memcpy (buffer->data, data, (size_t) size);
        header.lpData = buffer->data;
        header.dwBufferLength = header.dwBytesRecorded = (DWORD) size;

        if (! check ("midiOutPrepareHeader", midiOutPrepareHeader (handle, &header, sizeof (header))))
            return false;

        ResetEvent (doneEvent);

        if (! check ("midiOutLongMsg", midiOutLongMsg (handle, &header, sizeof (header))))
        {
            check ("midiOutUnprepareHeader", midiOutUnprepareHeader (handle, &header, sizeof (header)));
            return false;
        }

        const auto timeoutMs = sendTimeoutMs (size);
        const auto done = waitUntilDone (header, timeoutMs);

        if (! done)
        {
            // A driver that never completes the header (seen when a device is unplugged in
            // the middle of a send) would otherwise hold the sender, and the port
            // manager's lock with it, for ever.
            errors->add ("midiOutLongMsg not done within " + juce::String (timeoutMs) + " ms (" + where + ")");
            check ("midiOutReset", midiOutReset (handle));

            if (! waitUntilDone (header, resetGraceMs))
            {
                errors->add ("header not given back after midiOutReset (" + where + ")");
                headerLost = true;
                return false;
            }
        }

        return check ("midiOutUnprepareHeader", midiOutUnprepareHeader (handle, &header, sizeof (header))) && done;
    }

    bool waitUntilDone (const MIDIHDR& header, int timeoutMs)
    {
        const auto deadline = juce::Time::getMillisecondCounterHiRes() + timeoutMs;

        // The event is also set for opening and closing: each wake-up looks at the flag.
        while (! isDone (header))
        {
            const auto remaining = deadline - juce::Time::getMillisecondCounterHiRes();

            if (remaining <= 0.0)
                return false;

            WaitForSingleObject (doneEvent, (DWORD) std::ceil (remaining));
        }

        return true;
    }

    const HMIDIOUT handle;
    const HANDLE doneEvent;
    const juce::String where;
    const std::shared_ptr<ErrorRecord> errors;
    std::unique_ptr<Buffer> buffer = std::make_unique<Buffer>();
    bool headerLost = false;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WinOutputPort)
};

//==============================================================================
class WinMidiPortSystem::WinInputPort final : public InputPort,
                                              private juce::Thread
{
public:
    static std::unique_ptr<WinInputPort> open (const ListedPort& port, juce::MidiInputCallback& callback, std::shared_ptr<ErrorRecord> errors)
    {
        std::unique_ptr<WinInputPort> input (new WinInputPort (port.describe (true), callback, std::move (errors)));
        input->fromTestDriver = port.isTestDriver();

        if (input->wake == nullptr || input->closed == nullptr)
        {
            input->errors->add ("CreateEvent failed for " + input->where);
            return {};
        }

        HMIDIIN handle = nullptr;

        if (! input->check ("midiInOpen", midiInOpen (&handle, port.deviceId, (DWORD_PTR) &WinInputPort::driverCallback, input->key, CALLBACK_FUNCTION)))
            return {};

        {
            const juce::ScopedLock sl (input->queryLock);
            input->handle = handle;
        }

        for (auto& buffer : input->buffers->headers)
        {
            if (! input->check ("midiInPrepareHeader", midiInPrepareHeader (handle, &buffer, sizeof (MIDIHDR))))
                return {};

            buffer.dwUser = 1; // prepared

            if (! input->check ("midiInAddBuffer", midiInAddBuffer (handle, &buffer, sizeof (MIDIHDR))))
                return {};
        }

        input->startThread (juce::Thread::Priority::high);
        return input;
    }

    ~WinInputPort() override
    {
        {
            const juce::ScopedLock sl (queryLock);
            closing = true;
        }

        started = false;

        // The driver hands every queued buffer back; none is queued again.
        if (handle != nullptr)
            check ("midiInReset", midiInReset (handle));

        signalThreadShouldExit();

        if (wake != nullptr)
            SetEvent (wake);

        waitForThreadToExit (-1);
        bool driverLetGo = true;

        if (handle != nullptr)
        {
            for (auto& buffer : buffers->headers)
                if (buffer.dwUser != 0)
                    driverLetGo = check ("midiInUnprepareHeader", midiInUnprepareHeader (handle, &buffer, sizeof (MIDIHDR))) && driverLetGo;

            driverLetGo = check ("midiInClose", midiInClose (handle)) && driverLetGo;

            // A driver may call back after its close has returned (ours under Wine does,
            // from a thread of its own): what it hands back before MIM_CLOSE is awaited.
            if (driverLetGo && WaitForSingleObject (closed, closeTimeoutMs) != WAIT_OBJECT_0)
                errors->add ("no MIM_CLOSE within " + juce::String (closeTimeoutMs) + " ms (" + where + ")");
        }

        {
            const juce::ScopedLock sl (registryLock());
            registry().erase (key);
        }

        // Buffers a driver may still write into are never freed.
        if (! driverLetGo)
            static_cast<void> (buffers.release());

        for (auto event : { wake, closed })
            if (event != nullptr)
                CloseHandle (event);

        const auto overflows = ringOverflows.load();

        if (overflows > 0)
            errors->add (juce::String (overflows) + " driver callbacks lost, the queue being full (" + where + ")");
    }

    void start() override
    {
        startMs = juce::Time::getMillisecondCounterHiRes();
        started = true;

        if (! check ("midiInStart", midiInStart (handle)))
            started = false;
    }

    void stop() override
    {
        started = false;
        check ("midiInStop", midiInStop (handle));

        // As JUCE's stop does, waits for a delivery in progress.
        const std::lock_guard<std::recursive_mutex> guard (deliveryMutex);
    }

    juce::MidiInput* getSource() override { return nullptr; }

    /** What each open input has lost so far, for the update log: callbacks its own queue
        had no room for, and what our test driver dropped. A loss at the end of a failed
        backup tells a lost reply from a late one.
    */
    static juce::StringArray describeLosses()
    {
        juce::StringArray lines;
        const juce::ScopedLock registered (registryLock());

        for (auto& [key, input] : registry())
        {
            const juce::ScopedLock sl (input->queryLock);

            if (input->closing || input->handle == nullptr)
                continue;

            auto line = "MIDI " + input->where + ": " + juce::String (input->ringOverflows.load()) + " callbacks lost";
            DWORD dropped = 0;

            if (input->fromTestDriver && midiInMessage (input->handle, testDriverDroppedInputQuery, (DWORD_PTR) &dropped, 0) == MMSYSERR_NOERROR)
                line << ", " << (int) dropped << " bytes dropped by the driver";

            lines.add (line);
        }

        return lines;
    }

private:
    struct Buffers
    {
        Buffers()
        {
            for (size_t i = 0; i < headers.size(); ++i)
            {
                headers[i] = {};
                headers[i].lpData = data.data() + i * inputBufferBytes;
                headers[i].dwBufferLength = inputBufferBytes;
            }
        }

        std::vector<MIDIHDR> headers = std::vector<MIDIHDR> (inputBufferCount);
        std::vector<char> data = std::vector<char> ((size_t) inputBufferCount * inputBufferBytes);
    };

    /** What the driver's callback hands over: the message, its parameters. */
    struct Callback
    {
        UINT message;
        DWORD_PTR param1, param2;
    };

    // Every buffer, returned at once, and a burst of short messages besides.
    static constexpr size_t ringCapacity = (size_t) inputBufferCount + 4096;

    static constexpr int closeTimeoutMs = 2000;

    WinInputPort (juce::String portDescription, juce::MidiInputCallback& cb, std::shared_ptr<ErrorRecord> record)
        : juce::Thread ("MIDI input " + portDescription)
        , where (std::move (portDescription))
        , callback (cb)
        , errors (std::move (record))
        , wake (CreateEventW (nullptr, FALSE, FALSE, nullptr))
        , closed (CreateEventW (nullptr, TRUE, FALSE, nullptr))
    {
        const juce::ScopedLock sl (registryLock());
        key = ++lastKey();
        registry()[key] = this;
    }

    /** The open inputs by the key their driver calls back with: a callback that comes
        late, for an input already deleted, finds none and is dropped.
    */
    static std::map<DWORD_PTR, WinInputPort*>& registry()
    {
        static std::map<DWORD_PTR, WinInputPort*> inputs;
        return inputs;
    }

    static juce::CriticalSection& registryLock()
    {
        static juce::CriticalSection lock;
        return lock;
    }

    static DWORD_PTR& lastKey()
    {
        static DWORD_PTR last = 0;
        return last;
    }

    bool check (const char* call, MMRESULT result)
    {
        if (result != MMSYSERR_NOERROR)
            errors->add (call, result, where);

        return result == MMSYSERR_NOERROR;
    }

    /** On the driver's thread: only hands the callback over and wakes the port's thread.
        The locks it takes are held briefly, and never across a WinMM call.
    */
    static void CALLBACK driverCallback (HMIDIIN, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2)
    {
        const juce::ScopedLock registered (registryLock());
        const auto it = registry().find (instance);

        if (it == registry().end())
            return;

        auto& input = *it->second;

        if (message == MIM_CLOSE)
            SetEvent (input.closed);

        if (message != MIM_DATA && message != MIM_LONGDATA && message != MIM_ERROR && message != MIM_LONGERROR)
            return;

        {
            const juce::ScopedLock sl (input.ringLock);

            if (input.ringCount == ringCapacity)
            {
                ++input.ringOverflows;
                return;
            }

            input.ring[(input.ringStart + input.ringCount++) % ringCapacity] = { message, param1, param2 };
        }

        SetEvent (input.wake);
    }

    void run() override
    {
        while (! threadShouldExit())
        {
            WaitForSingleObject (wake, INFINITE);

            for (;;)
            {
                Callback next {};

                {
                    const juce::ScopedLock sl (ringLock);

                    if (ringCount == 0)
                        break;

                    next = ring[ringStart];
                    ringStart = (ringStart + 1) % ringCapacity;
                    --ringCount;
                }

                take (next);
            }
        }
    }

    void take (const Callback& c)
    {
        const auto time = (startMs + (double) c.param2) * 0.001;

        if (c.message == MIM_DATA || c.message == MIM_ERROR)
        {
            const juce::uint8 bytes[] = { (juce::uint8) c.param1, (juce::uint8) (c.param1 >> 8), (juce::uint8) (c.param1 >> 16) };
            const auto size = bytes[0] >= 0x80 ? juce::MidiMessage::getMessageLengthFromFirstByte (bytes[0]) : 1;

            if (c.message == MIM_ERROR)
                errors->add ("MIM_ERROR (" + where + "): " + juce::String::toHexString (bytes, size));
            else
                deliver (bytes, size, time);

            return;
        }

        auto* header = reinterpret_cast<MIDIHDR*> (c.param1);

        // The bytes of a broken SysEx message are not passed on, and neither is what was
        // assembled of it so far.
        if (c.message == MIM_LONGERROR)
        {
            errors->add ("MIM_LONGERROR (" + where + ")");
            const std::lock_guard<std::recursive_mutex> guard (deliveryMutex);
            concatenator.reset();
        }
        else if (header->dwBytesRecorded > 0)
        {
            deliver (header->lpData, (int) header->dwBytesRecorded, time);
        }

        if (! closing)
        {
            header->dwBytesRecorded = 0;
            check ("midiInAddBuffer", midiInAddBuffer (handle, header, sizeof (MIDIHDR)));
        }
    }

    void deliver (const void* data, int size, double time)
    {
        const std::lock_guard<std::recursive_mutex> guard (deliveryMutex);

        if (started)
            concatenator.pushMidiData (data, size, time, (juce::MidiInput*) nullptr, callback);
    }

    const juce::String where;
    juce::MidiInputCallback& callback;
    const std::shared_ptr<ErrorRecord> errors;
    const HANDLE wake, closed;
    DWORD_PTR key = 0;
    HMIDIIN handle = nullptr;
    std::unique_ptr<Buffers> buffers = std::make_unique<Buffers>();
    std::atomic<bool> started { false }, closing { false };
    bool fromTestDriver = false;

    // Held while the log asks the driver, so that the handle is not closed meanwhile.
    juce::CriticalSection queryLock;
    double startMs = juce::Time::getMillisecondCounterHiRes();

    juce::CriticalSection ringLock;
    std::vector<Callback> ring = std::vector<Callback> (ringCapacity);
    size_t ringStart = 0, ringCount = 0;
    std::atomic<int> ringOverflows { 0 };

    std::recursive_mutex deliveryMutex;
    juce::MidiDataConcatenator concatenator { 4096 };

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (WinInputPort)
};

//==============================================================================
WinMidiPortSystem::WinMidiPortSystem()
    : errors (std::make_shared<ErrorRecord>())
    , stack (findMidiStack())
{
}

WinMidiPortSystem::~WinMidiPortSystem() = default;

WinMidiPortSystem::MidiStack WinMidiPortSystem::findMidiStack()
{
    return drivers32NamesMidiServices() ? MidiStack::windowsMidiServices : MidiStack::classicDrivers;
}

std::vector<WinMidiPortSystem::ListedPort> WinMidiPortSystem::listPorts (bool inputs, ErrorRecord* errors)
{
    std::vector<ListedPort> ports;
    const auto count = inputs ? midiInGetNumDevs() : midiOutGetNumDevs();

    for (UINT id = 0; id < count; ++id)
    {
        ListedPort port;
        const auto result = ListedPort::read (inputs, id, port);

        // Left out, and the ports after it keep their own device IDs.
        if (result != MMSYSERR_NOERROR)
        {
            if (errors != nullptr)
                errors->add (inputs ? "midiInGetDevCaps" : "midiOutGetDevCaps", result, "device " + juce::String ((int) id));

            continue;
        }

        ports.push_back (port);
    }

    // The names JUCE gives: a second "X" is "X-2", a third "X-3".
    juce::StringArray names;

    for (auto& port : ports)
        names.add (port.capsName);

    names.appendNumbersToDuplicates (false, false, juce::CharPointer_UTF8 ("-"), juce::CharPointer_UTF8 (""));

    for (size_t i = 0; i < ports.size(); ++i)
        ports[i].name = names[(int) i];

    return ports;
}

juce::StringArray WinMidiPortSystem::list (bool inputs)
{
    auto ports = listPorts (inputs, errors.get());
    juce::StringArray names;

    for (auto& port : ports)
        names.add (port.name);

    const std::lock_guard<std::mutex> guard (listMutex);
    (inputs ? listedInputs : listedOutputs) = std::move (ports);
    return names;
}

juce::StringArray WinMidiPortSystem::getInputNames() { return list (true); }
juce::StringArray WinMidiPortSystem::getOutputNames() { return list (false); }

std::vector<unsigned int> WinMidiPortSystem::getListedDeviceIds (bool inputs) const
{
    const std::lock_guard<std::mutex> guard (listMutex);
    std::vector<unsigned int> ids;

    for (auto& port : inputs ? listedInputs : listedOutputs)
        ids.push_back (port.deviceId);

    return ids;
}

std::unique_ptr<WinMidiPortSystem::ListedPort> WinMidiPortSystem::takeListed (int index, bool inputs) const
{
    ListedPort listed;

    {
        const std::lock_guard<std::mutex> guard (listMutex);
        const auto& ports = inputs ? listedInputs : listedOutputs;

        if (! juce::isPositiveAndBelow (index, (int) ports.size()))
            return {};

        listed = ports[(size_t) index];
    }

    // The device under that ID must still be the one listed: after an unplug another may
    // have moved into it, and that one is never opened in its place.
    ListedPort now;
    const auto result = ListedPort::read (inputs, listed.deviceId, now);

    if (result != MMSYSERR_NOERROR || ! now.isSameDeviceAs (listed))
    {
        errors->add ("not opened: the device is no longer the one listed (" + listed.describe (inputs) + ")");
        return {};
    }

    return std::make_unique<ListedPort> (listed);
}

std::unique_ptr<MidiPortSystem::InputPort> WinMidiPortSystem::openInput (int index, juce::MidiInputCallback& callback)
{
    if (auto port = takeListed (index, true))
        return WinInputPort::open (*port, callback, errors);

    return {};
}

std::unique_ptr<MidiPortSystem::OutputPort> WinMidiPortSystem::openOutput (int index)
{
    if (auto port = takeListed (index, false))
        return WinOutputPort::open (*port, errors);

    return {};
}

bool WinMidiPortSystem::reachesHardware() const
{
    auto ports = listPorts (true, nullptr);
    const auto outputs = listPorts (false, nullptr);
    ports.insert (ports.end(), outputs.begin(), outputs.end());

    // With nothing listed, a keyboard may still appear.
    return ports.empty() || ! std::all_of (ports.begin(), ports.end(), [] (auto& p)
                                           { return p.isTestDriver(); });
}

juce::StringArray WinMidiPortSystem::describeForLog()
{
    juce::StringArray lines;
    lines.add (juce::String ("MIDI stack: ") + (stack == MidiStack::windowsMidiServices ? "Windows MIDI Services (wdmaud2.drv)" : "classic WinMM drivers")
               + ", midisrv service " + midiServiceState());

    {
        const std::lock_guard<std::mutex> guard (listMutex);

        for (auto* ports : { &listedInputs, &listedOutputs })
            for (auto& port : *ports)
                lines.add ("MIDI " + port.describe (ports == &listedInputs) + (port.name != port.capsName ? " listed as \"" + port.name + "\"" : juce::String()));
    }

    lines.addArray (WinInputPort::describeLosses());

    for (auto& error : errors->get())
        lines.add ("MIDI error: " + error);

    return lines;
}

juce::StringArray WinMidiPortSystem::getErrors() const
{
    return errors->get();
}
