#include "midi/PrivateDriverRegistry.h"

namespace
{
const char* const driversRoot = "Software\\Orbanta\\Audio\\Drivers";
const char* const driverKeyStart = "01020304";
const char* const driverKeyEnd = "DECAFBAD";
constexpr size_t keyNameLength = 32;

// Registry key names are at most 255 characters.
constexpr juce::uint32 keyNameBufferSize = 256;

// Any other character counts as 0.
int hexDigitValue (char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';

    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;

    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;

    return 0;
}

juce::uint8 byteAt (const std::string& name, size_t pair)
{
    return (juce::uint8) (hexDigitValue (name[pair * 2]) << 4 | hexDigitValue (name[pair * 2 + 1]));
}

juce::uint32 wordAt (const std::string& name, size_t firstPair)
{
    juce::uint32 word = 0;

    for (size_t i = 0; i < 4; ++i)
        word |= (juce::uint32) byteAt (name, firstPair + i) << (8 * i);

    return word;
}

std::string hexOf (const juce::uint8* bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;

    for (size_t i = 0; i < count; ++i)
    {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }

    return text;
}

/** Closes a registry key when it goes out of scope. */
class ScopedKey
{
public:
    ScopedKey (PrivateDriverSystem& s, const std::string& path)
        : system (s)
        , key (s.openKey (path.c_str()))
    {
    }

    ~ScopedKey()
    {
        if (key != 0)
            system.closeKey (key);
    }

    PrivateDriverSystem::Handle get() const noexcept { return key; }

    std::vector<std::string> getSubkeyNames() const
    {
        std::vector<std::string> names;
        juce::uint32 count = 0;

        if (key == 0 || ! system.getSubkeyCount (key, count))
            return names;

        for (juce::uint32 i = 0; i < count; ++i)
        {
            char name[keyNameBufferSize] = {};
            auto length = keyNameBufferSize;

            // A key removed since the count was taken ends the list early.
            if (! system.getSubkeyName (key, i, name, length))
                break;

            names.emplace_back (name, juce::jmin<size_t> (length, keyNameBufferSize - 1));
        }

        return names;
    }

private:
    PrivateDriverSystem& system;
    const PrivateDriverSystem::Handle key;

    JUCE_DECLARE_NON_COPYABLE (ScopedKey)
};
} // namespace

const char* const PrivateDriverRegistry::classGuidText = "{B6A79381-D9FB-416B-A521-ACD72DDD413B}";

std::string PrivateDriverRegistry::getClassKeyPath()
{
    return std::string (driversRoot) + "\\" + classGuidText;
}

std::string PrivateDriverRegistry::makeDriverKeyName (juce::uint32 keyWord1, juce::uint32 keyWord2)
{
    juce::uint8 bytes[8];

    for (int i = 0; i < 4; ++i)
    {
        bytes[i] = (juce::uint8) (keyWord1 >> (8 * i));
        bytes[4 + i] = (juce::uint8) (keyWord2 >> (8 * i));
    }

    return driverKeyStart + hexOf (bytes, 8) + driverKeyEnd;
}

bool PrivateDriverRegistry::parseDriverKeyName (const std::string& name, juce::uint32& keyWord1, juce::uint32& keyWord2)
{
    if (name.size() != keyNameLength || name.compare (0, 8, driverKeyStart) != 0 || name.compare (24, 8, driverKeyEnd) != 0)
        return false;

    keyWord1 = wordAt (name, 4);
    keyWord2 = wordAt (name, 8);
    return true;
}

std::string PrivateDriverRegistry::makeInstanceKeyName (const InstanceId& id)
{
    return hexOf (id.data(), id.size());
}

bool PrivateDriverRegistry::parseInstanceKeyName (const std::string& name, InstanceId& id)
{
    if (name.size() != keyNameLength)
        return false;

    for (size_t i = 0; i < id.size(); ++i)
        id[i] = byteAt (name, i);

    return true;
}

std::string PrivateDriverRegistry::getInstanceKeyPath (const PrivateDeviceDescriptor& device)
{
    const std::string classGuid (device.classGuidText, strnlen (device.classGuidText, sizeof (device.classGuidText)));
    return std::string (driversRoot) + "\\" + classGuid + "\\" + makeDriverKeyName (device.keyWord1, device.keyWord2)
           + "\\Instances\\" + makeInstanceKeyName (device.instanceId);
}

bool PrivateDriverRegistry::isAttached (PrivateDriverSystem& system, PrivateDriverSystem::Handle attachedKey)
{
    juce::uint32 type = 0, size = 0;

    if (attachedKey == 0 || ! system.getValue (attachedKey, nullptr, type, nullptr, size) || type != regBinary || size == 0)
        return false;

    juce::HeapBlock<juce::uint8> value (size);

    // The value may change between the two reads; the second one counts.
    if (! system.getValue (attachedKey, nullptr, type, value.get(), size) || type != regBinary || size == 0)
        return false;

    return value[size - 1] != 0;
}

void PrivateDriverRegistry::enumeratePrivateDevices (PrivateDriverSystem& system, PrivateDeviceDescriptor* devices, int capacity, int& stored, int& total)
{
    stored = 0;
    total = 0;

    const auto classPath = getClassKeyPath();
    const ScopedKey classKey (system, classPath);

    if (classKey.get() == 0)
        return;

    for (auto& driverName : classKey.getSubkeyNames())
    {
        juce::uint32 keyWord1 = 0, keyWord2 = 0;

        if (! parseDriverKeyName (driverName, keyWord1, keyWord2))
            continue;

        const auto instancesPath = classPath + "\\" + driverName + "\\Instances";
        const ScopedKey instances (system, instancesPath);

        for (auto& instanceName : instances.getSubkeyNames())
        {
            InstanceId id {};

            if (! parseInstanceKeyName (instanceName, id))
                continue;

            ++total;

            if (stored >= capacity)
                continue;

            auto& device = devices[stored++];
            device = {};
            std::strncpy (device.classGuidText, classGuidText, sizeof (device.classGuidText) - 1);
            device.keyWord1 = keyWord1;
            device.keyWord2 = keyWord2;
            device.instanceId = id;

            const auto instancePath = instancesPath + "\\" + instanceName;
            const ScopedKey instance (system, instancePath);

            if (instance.get() != 0)
            {
                const ScopedKey attachedKey (system, instancePath + "\\Attached");
                device.attached = isAttached (system, attachedKey.get()) ? 1 : 0;
            }
        }
    }
}

int PrivateDriverRegistry::findAttachedPrivateDevice (PrivateDriverSystem& system, PrivateDeviceDescriptor& device, const InstanceId& wanted)
{
    const auto anyInstance = std::all_of (wanted.begin(), wanted.end(), [] (juce::uint8 b)
                                          { return b == 0; });
    size_t capacity = 8;
    int budgetMs = 500;
    std::unique_ptr<PrivateDeviceDescriptor[]> devices (new (std::nothrow) PrivateDeviceDescriptor[capacity]);

    if (devices == nullptr)
        return noMemory;

    for (;;)
    {
        int stored = 0, total = 0;
        enumeratePrivateDevices (system, devices.get(), (int) capacity, stored, total);

        for (int i = 0; i < stored; ++i)
        {
            const auto& candidate = devices[(size_t) i];

            if (candidate.attached != 0 && (anyInstance || candidate.instanceId == wanted))
            {
                device = candidate;
                return found;
            }
        }

        // Some instances did not fit: read them all again at once.
        if ((size_t) total > capacity)
        {
            capacity = (size_t) total;
            devices.reset (new (std::nothrow) PrivateDeviceDescriptor[capacity]);

            if (devices == nullptr)
                return noMemory;

            continue;
        }

        if (budgetMs <= 0)
            return noAttachedInstance;

        const auto pause = juce::jmin (budgetMs, 250);
        system.sleep (pause);
        budgetMs -= pause;
    }
}
