#pragma once

#include "midi/PrivateDeviceDescriptor.h"
#include "midi/PrivateDriverSystem.h"

#include <string>

/** How the maker's private USB MIDI driver publishes its instances in the registry, and
    the search for an attached one.

    Class key "Software\Orbanta\Audio\Drivers\{B6A79381-...}"; below it one key per
    driver, named "01020304", keyWord1 and keyWord2 (lowest byte first) and "DECAFBAD" in
    hexadecimal; below that "Instances" with one key per instance, named by the 16 bytes
    of its identifier, holding the device file path "LastPath" and an "Attached" key.
*/
class PrivateDriverRegistry
{
public:
    using InstanceId = PrivateDeviceDescriptor::InstanceId;

    static const char* const classGuidText;

    enum SearchResult
    {
        found = 0,
        noMemory = -1,
        noAttachedInstance = -10
    };

    /** "Software\Orbanta\Audio\Drivers\{B6A79381-D9FB-416B-A521-ACD72DDD413B}" */
    static std::string getClassKeyPath();

    static std::string makeDriverKeyName (juce::uint32 keyWord1, juce::uint32 keyWord2);

    /** False unless the name has the driver key's form; its markers are upper case. */
    static bool parseDriverKeyName (const std::string& name, juce::uint32& keyWord1, juce::uint32& keyWord2);

    static std::string makeInstanceKeyName (const InstanceId& id);

    /** False unless the name is 32 characters long. */
    static bool parseInstanceKeyName (const std::string& name, InstanceId& id);

    /** The full path of the instance's key, its names in upper case. */
    static std::string getInstanceKeyPath (const PrivateDeviceDescriptor& device);

    /** Whether an open "Attached" key says attached: its default value is binary, not
        empty, and its last byte is not zero.
    */
    static bool isAttached (PrivateDriverSystem& system, PrivateDriverSystem::Handle attachedKey);

    /** Reads every instance of every driver: stores up to `capacity` descriptors and
        counts all instances in `total`.
    */
    static void enumeratePrivateDevices (PrivateDriverSystem& system, PrivateDeviceDescriptor* devices, int capacity, int& stored, int& total);

    /** Looks for an attached instance with this identifier (all zero: any), reading the
        registry again every 250 ms for at most 500 ms. Returns a SearchResult.
    */
    static int findAttachedPrivateDevice (PrivateDriverSystem& system, PrivateDeviceDescriptor& device, const InstanceId& wanted);

private:
    static constexpr juce::uint32 regBinary = 3;
};
