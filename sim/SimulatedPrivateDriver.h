#pragma once

#include "midi/PortablePrivateDriverSystem.h"

#include <array>
#include <deque>
#include <set>

/** The maker's private USB MIDI driver, simulated, with the registry it publishes: the
    stand-in that lets the updater's driver client run without Windows.

    Each installed instance has its keys under the driver's class key (a driver key named
    from its two key words, "Instances", its instance key with "LastPath" and an
    "Attached" key whose default value is binary 01 while attached and 00 while not) and a
    device file that answers the driver's kernel-streaming property requests. What the
    instance's device sends is queued per capture port and read by the client through
    those requests; the bytes are written where the request says.

    It parses every request with its own code and constants, not the client's, and keeps
    a list of requests it found malformed. A device file opened before a detach stays
    dead after the next attach, as a handle to a removed device does. All operations are
    thread-safe; instances can be attached and detached at any moment.
*/
class SimulatedPrivateDriver final : public PortablePrivateDriverSystem
{
public:
    using Ptr = juce::ReferenceCountedObjectPtr<SimulatedPrivateDriver>;
    using Bytes = std::vector<juce::uint8>;

    static constexpr juce::uint32 regSz = 1, regBinary = 3, regDword = 4;

    struct InstanceSettings
    {
        juce::uint32 keyWord1 = 0x4C45524D;
        juce::uint32 keyWord2 = 0x00000001;
        std::array<juce::uint8, 16> id {};

        int capturePorts = 3; // the counts the driver reports
        int renderPorts = 3;
        std::set<int> refusedCapturePorts; // opens the driver refuses

        bool lowerCaseHex = false;    // key names with hexadecimal digits in lower case
        bool lowerCaseMarker = false; // the driver key's closing marker in lower case
        int bytesPerRead = 0;         // the most one read delivers; 0: all that fits
    };

    SimulatedPrivateDriver();
    ~SimulatedPrivateDriver() override;

    //==============================================================================
    // The driver's side

    /** Installs an instance, detached; returns its number. */
    int addInstance (const InstanceSettings& settings);

    void attach (int instance);
    void detach (int instance);
    bool isAttached (int instance);

    /** Bytes the instance's device sent on a capture port. With the stream flag clear
        they are one message, which a read never runs past; with it set they are a piece
        of a byte stream. Dropped while the port is not open.
    */
    void capture (int instance, int port, const Bytes& bytes, bool streamFlag = false);

    /** While held, registry change notifications wait; released, each waiting one is
        signalled once, so that several changes reach a watcher as one.
    */
    void holdNotifications (bool shouldHold);

    /** Each request for change notification takes this long before it is in place, as
        on a busy machine.
    */
    void delayNotificationRequests (int milliseconds) { notificationRequestDelayMs = milliseconds; }

    /** The full path of the instance's key, as the driver wrote it. */
    juce::String getInstanceKeyPath (int instance);

    //==============================================================================
    // The registry, for tests that write what a driver might

    void writeKey (const juce::String& path);
    void deleteKey (const juce::String& path);
    void writeValue (const juce::String& keyPath, const juce::String& valueName, juce::uint32 type, const Bytes& data);
    static juce::String getClassKeyPath();

    //==============================================================================
    // What happened

    /** How often the class key was opened: one reading of the registry each. */
    int getClassKeyReadings();

    /** The pauses the client asked for, in order. */
    std::vector<int> getSleeps();

    /** Called after each pause with the milliseconds paused so far; on the pausing thread. */
    void setSleepObserver (std::function<void (int totalMs)> observer);

    /** Requests that reached the driver, by property id, also those on the handle of a
        device that went away.
    */
    int getRequestCount (juce::uint32 property);

    /** Requests the driver refused as malformed, and handles used after closing. */
    juce::StringArray getProtocolErrors();

    bool isCapturePortOpen (int instance, int port);
    bool isCaptureEventRegistered (int instance);

    /** True while someone waits for the next change of the key at this path. */
    bool isChangeAwaited (const juce::String& keyPath);

    /** Keys and device files the client has open now. */
    int getNumOpenKeys();
    int getNumOpenDevices();

    //==============================================================================
    // The seam
    Handle openKey (const char* path) override;
    void closeKey (Handle key) override;
    bool getSubkeyCount (Handle key, juce::uint32& count) override;
    bool getSubkeyName (Handle key, juce::uint32 index, char* name, juce::uint32& length) override;
    bool getValue (Handle key, const char* valueName, juce::uint32& type, void* data, juce::uint32& size) override;
    bool notifyOnChange (Handle key, Handle event) override;

    Handle openDevice (const char* path) override;
    bool requestProperty (Handle device, const void* input, juce::uint32 inputSize, void* value, juce::uint32 valueSize, juce::uint32& bytesReturned) override;
    void closeDevice (Handle device) override;

    void sleep (int milliseconds) override;

private:
    struct Key;
    struct Instance;
    struct DeviceFile;

    std::shared_ptr<Key> findKey (const juce::String& path);
    std::shared_ptr<Key> makeKey (const juce::String& path);
    void changed (Key& key);
    void setAttachedValue (Instance& instance);
    bool answer (DeviceFile& file, Instance& instance, juce::uint32 property, juce::uint32 flags, const juce::uint8* input, juce::uint32 inputSize, juce::uint8* value, juce::uint32 valueSize, juce::uint32& returned);
    bool fail (const juce::String& problem);
    DeviceFile* findLiveFile (Instance& instance);

    std::mutex mutex;
    std::shared_ptr<Key> root;
    std::map<Handle, std::shared_ptr<Key>> openKeys;
    std::vector<std::unique_ptr<Instance>> instances;
    std::map<Handle, std::unique_ptr<DeviceFile>> devices;
    std::map<juce::uint32, int> requestCounts;
    juce::StringArray protocolErrors;
    int classKeyReadings = 0;
    bool notificationsHeld = false;
    std::atomic<int> notificationRequestDelayMs { 0 };
    std::set<Key*> heldChanges;
    juce::uint32 readSequence = 0;

    std::mutex sleepMutex;
    std::vector<int> sleeps;
    int sleptMs = 0;
    std::function<void (int)> sleepObserver;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SimulatedPrivateDriver)
};
