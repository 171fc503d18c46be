#include "sim/SimulatedPrivateDriver.h"

namespace
{
// The driver's own constants, kept apart from the client's.
const char* const classKeyPath = "Software\\Orbanta\\Audio\\Drivers\\{B6A79381-D9FB-416B-A521-ACD72DDD413B}";

struct Guid
{
    juce::uint32 data1;
    juce::uint16 data2, data3;
    juce::uint8 data4[8];
};

constexpr Guid propertySetGuid { 0xA0634132, 0x2F7F, 0x4FDA, { 0x93, 0xBA, 0xEA, 0x6D, 0x7D, 0x1B, 0xDD, 0x0D } };

enum : juce::uint32
{
    getFlag = 0x1,
    setFlag = 0x2
};

juce::uint64 readLittleEndian (const juce::uint8* bytes, int size)
{
    juce::uint64 value = 0;

    for (int i = size; --i >= 0;)
        value = value << 8 | bytes[i];

    return value;
}

void writeLittleEndian (juce::uint8* bytes, juce::uint64 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes[i] = (juce::uint8) (value >> (8 * i));
}

std::array<juce::uint8, 16> guidBytes (const Guid& g)
{
    std::array<juce::uint8, 16> bytes {};
    writeLittleEndian (bytes.data(), g.data1, 4);
    writeLittleEndian (bytes.data() + 4, g.data2, 2);
    writeLittleEndian (bytes.data() + 6, g.data3, 2);
    std::copy (std::begin (g.data4), std::end (g.data4), bytes.begin() + 8);
    return bytes;
}

juce::String hex (const juce::uint8* bytes, size_t count, bool lowerCase)
{
    juce::String text;

    for (size_t i = 0; i < count; ++i)
        text << juce::String::formatted (lowerCase ? "%02x" : "%02X", bytes[i]);

    return text;
}

juce::StringArray pathParts (const juce::String& path)
{
    juce::StringArray parts;
    parts.addTokens (path, "\\", "");
    parts.removeEmptyStrings();
    return parts;
}
} // namespace

//==============================================================================
struct SimulatedPrivateDriver::Key
{
    explicit Key (juce::String n)
        : name (std::move (n))
    {
    }

    const juce::String name;
    std::map<juce::String, std::shared_ptr<Key>> subkeys;          // by lower-case name
    std::map<juce::String, std::pair<juce::uint32, Bytes>> values; // by lower-case name; "" the default
    std::vector<std::pair<Handle, Handle>> watches;                // key handle, event
    bool deleted = false;
};

struct SimulatedPrivateDriver::Instance
{
    struct Chunk
    {
        Bytes bytes;
        size_t taken = 0;
        bool streamFlag = false;
    };

    InstanceSettings settings;
    juce::String keyPath, devicePath;
    bool attached = false;
    int generation = 0;
    std::map<int, std::deque<Chunk>> queues;
};

struct SimulatedPrivateDriver::DeviceFile
{
    Instance* instance = nullptr;
    int generation = 0;
    Handle captureEvent = 0;
    std::set<int> openCapture, openRender;

    bool isLive() const { return instance->attached && generation == instance->generation; }
};

//==============================================================================
SimulatedPrivateDriver::SimulatedPrivateDriver()
    : root (std::make_shared<Key> ("HKEY_LOCAL_MACHINE"))
{
}

SimulatedPrivateDriver::~SimulatedPrivateDriver() = default;

juce::String SimulatedPrivateDriver::getClassKeyPath()
{
    return classKeyPath;
}

std::shared_ptr<SimulatedPrivateDriver::Key> SimulatedPrivateDriver::findKey (const juce::String& path)
{
    auto key = root;

    for (auto& part : pathParts (path))
    {
        const auto it = key->subkeys.find (part.toLowerCase());

        if (it == key->subkeys.end())
            return nullptr;

        key = it->second;
    }

    return key;
}

std::shared_ptr<SimulatedPrivateDriver::Key> SimulatedPrivateDriver::makeKey (const juce::String& path)
{
    auto key = root;

    for (auto& part : pathParts (path))
    {
        auto& sub = key->subkeys[part.toLowerCase()];

        if (sub == nullptr)
        {
            sub = std::make_shared<Key> (part);
            changed (*key);
        }

        key = sub;
    }

    return key;
}

void SimulatedPrivateDriver::changed (Key& key)
{
    if (notificationsHeld)
    {
        heldChanges.insert (&key);
        return;
    }

    for (auto& watch : key.watches)
        setEvent (watch.second);

    key.watches.clear();
}

bool SimulatedPrivateDriver::fail (const juce::String& problem)
{
    protocolErrors.add (problem);
    return false;
}

void SimulatedPrivateDriver::holdNotifications (bool shouldHold)
{
    const std::lock_guard<std::mutex> guard (mutex);
    notificationsHeld = shouldHold;

    if (shouldHold)
        return;

    // Keys deleted meanwhile are still alive: a deleted key stays in memory while a
    // handle holds it, and one no handle holds has no watches to signal.
    std::vector<std::shared_ptr<Key>> alive;

    for (auto& [handle, key] : openKeys)
        if (heldChanges.count (key.get()) > 0)
            alive.push_back (key);

    heldChanges.clear();

    for (auto& key : alive)
        changed (*key);
}

//==============================================================================
void SimulatedPrivateDriver::writeKey (const juce::String& path)
{
    const std::lock_guard<std::mutex> guard (mutex);
    makeKey (path);
}

void SimulatedPrivateDriver::writeValue (const juce::String& keyPath, const juce::String& valueName, juce::uint32 type, const Bytes& data)
{
    const std::lock_guard<std::mutex> guard (mutex);
    auto key = makeKey (keyPath);
    key->values[valueName.toLowerCase()] = { type, data };
    changed (*key);
}

void SimulatedPrivateDriver::deleteKey (const juce::String& path)
{
    const std::lock_guard<std::mutex> guard (mutex);
    auto parts = pathParts (path);
    const auto last = parts[parts.size() - 1].toLowerCase();
    parts.remove (parts.size() - 1);
    auto parent = findKey (parts.joinIntoString ("\\"));

    if (parent == nullptr || parent->subkeys.count (last) == 0)
        return;

    std::function<void (Key&)> remove = [&] (Key& key)
    {
        for (auto& sub : key.subkeys)
            remove (*sub.second);

        key.deleted = true;
        changed (key);
    };

    remove (*parent->subkeys[last]);
    parent->subkeys.erase (last);
    changed (*parent);
}

//==============================================================================
int SimulatedPrivateDriver::addInstance (const InstanceSettings& settings)
{
    auto instance = std::make_unique<Instance>();
    instance->settings = settings;

    juce::uint8 driverKey[16] = { 0x01, 0x02, 0x03, 0x04 };
    writeLittleEndian (driverKey + 4, settings.keyWord1, 4);
    writeLittleEndian (driverKey + 8, settings.keyWord2, 4);
    const auto driverKeyName = "01020304" + hex (driverKey + 4, 8, settings.lowerCaseHex) + (settings.lowerCaseMarker ? "decafbad" : "DECAFBAD");

    const std::lock_guard<std::mutex> guard (mutex);
    const auto number = (int) instances.size();

    instance->keyPath = juce::String (classKeyPath) + "\\" + driverKeyName + "\\Instances\\" + hex (settings.id.data(), 16, settings.lowerCaseHex);
    instance->devicePath = "\\\\?\\orbanta#private-midi#" + juce::String (number) + "#" + hex (settings.id.data(), 16, true);

    auto key = makeKey (instance->keyPath);
    key->values["lastpath"] = { regSz, Bytes (instance->devicePath.toRawUTF8(), instance->devicePath.toRawUTF8() + instance->devicePath.length() + 1) };
    changed (*key);
    setAttachedValue (*instance);
    instances.push_back (std::move (instance));
    return number;
}

void SimulatedPrivateDriver::setAttachedValue (Instance& instance)
{
    auto key = makeKey (instance.keyPath + "\\Attached");
    key->values[""] = { regBinary, Bytes { (juce::uint8) (instance.attached ? 0x01 : 0x00) } };
    changed (*key);
}

void SimulatedPrivateDriver::attach (int number)
{
    const std::lock_guard<std::mutex> guard (mutex);
    auto& instance = *instances.at ((size_t) number);

    if (instance.attached)
        return;

    instance.attached = true;
    ++instance.generation;
    setAttachedValue (instance);
}

void SimulatedPrivateDriver::detach (int number)
{
    const std::lock_guard<std::mutex> guard (mutex);
    auto& instance = *instances.at ((size_t) number);

    if (! instance.attached)
        return;

    instance.attached = false;
    instance.queues.clear();
    setAttachedValue (instance);
}

bool SimulatedPrivateDriver::isAttached (int number)
{
    const std::lock_guard<std::mutex> guard (mutex);
    return instances.at ((size_t) number)->attached;
}

juce::String SimulatedPrivateDriver::getInstanceKeyPath (int number)
{
    const std::lock_guard<std::mutex> guard (mutex);
    return instances.at ((size_t) number)->keyPath;
}

SimulatedPrivateDriver::DeviceFile* SimulatedPrivateDriver::findLiveFile (Instance& instance)
{
    for (auto& entry : devices)
        if (entry.second->instance == &instance && entry.second->isLive())
            return entry.second.get();

    return nullptr;
}

void SimulatedPrivateDriver::capture (int number, int port, const Bytes& bytes, bool streamFlag)
{
    const std::lock_guard<std::mutex> guard (mutex);
    auto& instance = *instances.at ((size_t) number);
    auto* file = findLiveFile (instance);

    if (file == nullptr || file->openCapture.count (port) == 0 || bytes.empty())
        return;

    instance.queues[port].push_back ({ bytes, 0, streamFlag });

    if (file->captureEvent != 0)
        setEvent (file->captureEvent);
}

//==============================================================================
int SimulatedPrivateDriver::getClassKeyReadings()
{
    const std::lock_guard<std::mutex> guard (mutex);
    return classKeyReadings;
}

std::vector<int> SimulatedPrivateDriver::getSleeps()
{
    const std::lock_guard<std::mutex> guard (sleepMutex);
    return sleeps;
}

void SimulatedPrivateDriver::setSleepObserver (std::function<void (int)> observer)
{
    const std::lock_guard<std::mutex> guard (sleepMutex);
    sleepObserver = std::move (observer);
}

int SimulatedPrivateDriver::getRequestCount (juce::uint32 property)
{
    const std::lock_guard<std::mutex> guard (mutex);
    return requestCounts[property];
}

juce::StringArray SimulatedPrivateDriver::getProtocolErrors()
{
    const std::lock_guard<std::mutex> guard (mutex);
    return protocolErrors;
}

bool SimulatedPrivateDriver::isCapturePortOpen (int number, int port)
{
    const std::lock_guard<std::mutex> guard (mutex);
    auto* file = findLiveFile (*instances.at ((size_t) number));
    return file != nullptr && file->openCapture.count (port) > 0;
}

bool SimulatedPrivateDriver::isCaptureEventRegistered (int number)
{
    const std::lock_guard<std::mutex> guard (mutex);
    auto* file = findLiveFile (*instances.at ((size_t) number));
    return file != nullptr && file->captureEvent != 0;
}

bool SimulatedPrivateDriver::isChangeAwaited (const juce::String& keyPath)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto key = findKey (keyPath);
    return key != nullptr && ! key->watches.empty();
}

int SimulatedPrivateDriver::getNumOpenKeys()
{
    const std::lock_guard<std::mutex> guard (mutex);
    return (int) openKeys.size();
}

int SimulatedPrivateDriver::getNumOpenDevices()
{
    const std::lock_guard<std::mutex> guard (mutex);
    return (int) devices.size();
}

//==============================================================================
PrivateDriverSystem::Handle SimulatedPrivateDriver::openKey (const char* path)
{
    const auto handle = makeHandle();
    const std::lock_guard<std::mutex> guard (mutex);

    if (juce::String (path).equalsIgnoreCase (classKeyPath))
        ++classKeyReadings;

    auto key = findKey (path);

    if (key == nullptr)
        return 0;

    openKeys[handle] = key;
    return handle;
}

void SimulatedPrivateDriver::closeKey (Handle handle)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto it = openKeys.find (handle);

    if (it == openKeys.end())
    {
        fail ("closing a key that is not open");
        return;
    }

    // As Windows does, a notification asked for through this handle fires now.
    auto& watches = it->second->watches;

    for (auto w = watches.begin(); w != watches.end();)
    {
        if (w->first == handle)
        {
            setEvent (w->second);
            w = watches.erase (w);
        }
        else
        {
            ++w;
        }
    }

    openKeys.erase (it);
}

bool SimulatedPrivateDriver::getSubkeyCount (Handle handle, juce::uint32& count)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto it = openKeys.find (handle);

    if (it == openKeys.end())
        return fail ("counting the subkeys of a key that is not open");

    if (it->second->deleted)
        return false;

    count = (juce::uint32) it->second->subkeys.size();
    return true;
}

bool SimulatedPrivateDriver::getSubkeyName (Handle handle, juce::uint32 index, char* name, juce::uint32& length)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto it = openKeys.find (handle);

    if (it == openKeys.end())
        return fail ("enumerating a key that is not open");

    auto& subkeys = it->second->subkeys;

    if (it->second->deleted || index >= subkeys.size())
        return false;

    const auto& subName = std::next (subkeys.begin(), (long) index)->second->name;
    const auto size = (juce::uint32) subName.getNumBytesAsUTF8();

    if (size + 1 > length)
        return false;

    std::memcpy (name, subName.toRawUTF8(), size + 1);
    length = size;
    return true;
}

bool SimulatedPrivateDriver::getValue (Handle handle, const char* valueName, juce::uint32& type, void* data, juce::uint32& size)
{
    const std::lock_guard<std::mutex> guard (mutex);
    const auto it = openKeys.find (handle);

    if (it == openKeys.end())
        return fail ("reading a value of a key that is not open");

    if (it->second->deleted)
        return false;

    const auto value = it->second->values.find (juce::String (valueName).toLowerCase());

    if (value == it->second->values.end())
        return false;

    const auto& bytes = value->second.second;
    type = value->second.first;

    if (data != nullptr)
    {
        if (size < bytes.size())
        {
            size = (juce::uint32) bytes.size();
            return false;
        }

        std::copy (bytes.begin(), bytes.end(), static_cast<juce::uint8*> (data));
    }

    size = (juce::uint32) bytes.size();
    return true;
}

bool SimulatedPrivateDriver::notifyOnChange (Handle handle, Handle event)
{
    if (const auto delay = notificationRequestDelayMs.load(); delay > 0)
        PortablePrivateDriverSystem::sleep (delay);

    const std::lock_guard<std::mutex> guard (mutex);
    const auto it = openKeys.find (handle);

    if (it == openKeys.end())
        return fail ("asking for changes of a key that is not open");

    if (! isEvent (event))
        return fail ("asking for changes to be signalled to something that is not an event");

    if (it->second->deleted)
        return false;

    it->second->watches.push_back ({ handle, event });
    return true;
}

//==============================================================================
PrivateDriverSystem::Handle SimulatedPrivateDriver::openDevice (const char* path)
{
    const auto handle = makeHandle();
    const std::lock_guard<std::mutex> guard (mutex);

    for (auto& instance : instances)
    {
        if (! instance->devicePath.equalsIgnoreCase (path))
            continue;

        // Gone, or open already: the file is shared with nobody.
        if (! instance->attached || findLiveFile (*instance) != nullptr)
            return 0;

        auto file = std::make_unique<DeviceFile>();
        file->instance = instance.get();
        file->generation = instance->generation;
        devices[handle] = std::move (file);
        return handle;
    }

    return 0;
}

void SimulatedPrivateDriver::closeDevice (Handle handle)
{
    const std::lock_guard<std::mutex> guard (mutex);

    if (devices.erase (handle) == 0)
        fail ("closing a device file that is not open");
}

bool SimulatedPrivateDriver::requestProperty (Handle handle, const void* input, juce::uint32 inputSize, void* value, juce::uint32 valueSize, juce::uint32& returned)
{
    const std::lock_guard<std::mutex> guard (mutex);
    returned = 0;
    const auto it = devices.find (handle);

    if (it == devices.end())
        return fail ("a request on a device file that is not open");

    const auto* in = static_cast<const juce::uint8*> (input);
    const auto expectedSet = guidBytes (propertySetGuid);

    if (inputSize < 24 || ! std::equal (expectedSet.begin(), expectedSet.end(), in))
        return fail ("a request outside the driver's property set");

    const auto property = (juce::uint32) readLittleEndian (in + 16, 4);
    const auto flags = (juce::uint32) readLittleEndian (in + 20, 4);
    ++requestCounts[property];

    // The device behind a handle opened before a detach is gone.
    if (! it->second->isLive())
        return false;

    return answer (*it->second, *it->second->instance, property, flags, in, inputSize, static_cast<juce::uint8*> (value), valueSize, returned);
}

bool SimulatedPrivateDriver::answer (DeviceFile& file, Instance& instance, juce::uint32 property, juce::uint32 flags, const juce::uint8* in, juce::uint32 inputSize, juce::uint8* value, juce::uint32 valueSize, juce::uint32& returned)
{
    const auto& settings = instance.settings;
    const auto gets = property == 0 || property == 1 || property == 9 || property == 11 || property == 12;
    const auto needed = property == 12 ? 16u : (property == 2 || property == 3 ? 8u : 4u);
    const auto name = "property " + juce::String (property);

    if (property == 6 || property == 7 || property == 10 || property > 12)
        return fail (name + " is not one of the driver's");

    if (flags != (gets ? getFlag : setFlag))
        return fail (name + " with flags " + juce::String (flags));

    if (valueSize < needed || value == nullptr)
        return fail (name + " with a value of " + juce::String (valueSize) + " bytes");

    if (inputSize != (property == 12 ? 48u : 24u))
        return fail (name + " with an input of " + juce::String (inputSize) + " bytes");

    auto answerWord = [&] (juce::uint64 word)
    {
        writeLittleEndian (value, word, 4);
        returned = 4;
        return true;
    };

    const auto setValue = readLittleEndian (value, (int) needed);

    switch (property)
    {
        case 0:
            return answerWord ((juce::uint32) settings.capturePorts);

        case 1:
            return answerWord ((juce::uint32) settings.renderPorts);

        case 2:
            if (! isEvent ((Handle) setValue))
                return fail ("registering " + juce::String::toHexString ((juce::int64) setValue) + ", which is not an event");

            file.captureEvent = (Handle) setValue;
            return true;

        case 3:
            if (file.captureEvent == 0 || file.captureEvent != (Handle) setValue)
                return fail ("unregistering an event that is not registered");

            file.captureEvent = 0;
            return true;

        case 4:
            if ((int) setValue >= settings.renderPorts)
                return false;

            file.openRender.insert ((int) setValue);
            return true;

        case 5:
            if ((int) setValue >= settings.capturePorts || settings.refusedCapturePorts.count ((int) setValue) > 0)
                return false;

            file.openCapture.insert ((int) setValue);
            return true;

        case 8:
            if (setValue != 1)
                return fail ("closing all ports with the value " + juce::String ((juce::int64) setValue));

            file.openCapture.clear();
            file.openRender.clear();
            instance.queues.clear();
            return true;

        case 9:
            return answerWord (file.openCapture.size() + file.openRender.size());

        case 11:
        {
            juce::uint32 mask = 0;

            for (auto& [port, queue] : instance.queues)
                if (! queue.empty() && port < 32 && file.openCapture.count (port) > 0)
                    mask |= 1u << port;

            return answerWord (mask);
        }

        case 12:
        {
            const auto port = (int) readLittleEndian (in + 24, 4);
            const auto address = readLittleEndian (in + 32, 8);
            const auto room = readLittleEndian (in + 40, 8);

            if (readLittleEndian (in + 28, 4) != 0 || port >= 32)
                return fail ("reading capture port " + juce::String::toHexString (in + 24, 8));

            if (address == 0 || room == 0 || room > 256)
                return fail ("reading into " + juce::String ((juce::int64) room) + " bytes at " + juce::String::toHexString ((juce::int64) address));

            if (file.openCapture.count (port) == 0)
                return false;

            juce::uint32 count = 0;
            auto streamFlag = false;
            auto& queue = instance.queues[port];

            if (! queue.empty())
            {
                auto& chunk = queue.front();
                auto most = (size_t) room;

                if (settings.bytesPerRead > 0)
                    most = std::min (most, (size_t) settings.bytesPerRead);

                count = (juce::uint32) std::min (most, chunk.bytes.size() - chunk.taken);
                std::memcpy (reinterpret_cast<void*> ((std::uintptr_t) address), chunk.bytes.data() + chunk.taken, count);
                chunk.taken += count;
                streamFlag = chunk.streamFlag;

                if (chunk.taken == chunk.bytes.size())
                    queue.pop_front();
            }

            writeLittleEndian (value, ++readSequence, 4);
            writeLittleEndian (value + 4, (juce::uint32) port, 4);
            writeLittleEndian (value + 8, count, 4);
            writeLittleEndian (value + 12, streamFlag ? 1 : 0, 4);
            returned = 16;
            return true;
        }

        default:
            return fail (name + " is not one of the driver's");
    }
}

void SimulatedPrivateDriver::sleep (int milliseconds)
{
    PortablePrivateDriverSystem::sleep (milliseconds);
    std::function<void (int)> observer;
    int total = 0;

    {
        const std::lock_guard<std::mutex> guard (sleepMutex);
        sleeps.push_back (milliseconds);
        sleptMs += milliseconds;
        total = sleptMs;
        observer = sleepObserver;
    }

    if (observer != nullptr)
        observer (total);
}
