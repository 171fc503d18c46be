#pragma once

#include "sim/FirmwareStreamChecker.h"
#include "sim/KeyboardFault.h"
#include "sim/SimulatedPrivateDriver.h"
#include "sim/TrafficTrace.h"
#include "sim/VirtualMidiPortSystem.h"

#include <array>
#include <deque>
#include <map>
#include <optional>

/** One MORELTA keyboard plugged into the virtual MIDI ports: it answers the updater as
    the real keyboard does, takes firmware in its update mode and restarts.

    It is the hardware's stand-in in every test and demo, so it parses what it receives
    with its own code and its own constants, never with the updater's.
*/
class SimulatedKeyboard final : private juce::Thread
{
public:
    enum class Layout
    {
        classDriver,   // "MORELTA49", "MIDIIN2 (MORELTA49)", "MIDIIN3 (MORELTA49)", ...
        privateDriver, // "MORELTA49 USB PORT 1", "MORELTA49 USB PORT 2", ...; answers
                       // through the private driver's capture port 3, on no listed port
        newStyleNames  // the class driver's ports under the names Windows can build from
                       // the device's own jack names: "MORELTA49 MIDI", "MORELTA49 DAW",
                       // "MORELTA49 EDITOR"; answers on the third
    };

    struct Timing
    {
        int replyLatencyMs = 0; // before each answer
        int processingMs = 0;   // for every message received
        // Ports away while restarting. A real keyboard takes seconds; this must be well
        // over a pass of the updater's port poll (50 ms) even when a loaded machine
        // (sanitizers, many updates side by side) delays the poll, or the updater never
        // sees the ports go and waits for ever for them to come back.
        int updateModeEntryMs = 500; // into update mode
        int rebootMs = 600;          // into the new firmware
        int linkBytesPerSecond = 0;  // how fast bytes cross the USB link; 0: at once

        /** "fast" (the default, for tests) or "realistic" (for the demo and benchmarks). */
        static std::optional<Timing> named (const juce::String& profile);
    };

    struct Settings
    {
        int keys = 49; // 25, 49 or 61
        double firmwareVersion = 1.16;
        Layout layout = Layout::classDriver;
        // Some systems bind another driver to a keyboard in its update mode, which lists
        // it under other names: the class driver's or the newer-style ones.
        std::optional<Layout> updateModeLayout;
        int replyInput = 0; // listed input 1 to 3 that carries the answers; 0: the layout's own

        // Listed as Windows lists the Nth instance of an identical device (or the same
        // keyboard in another USB socket): "2- MORELTA49", "MIDIIN3 (2- MORELTA49)",
        // "MORELTA49 (2) MIDI", "2- MORELTA49 USB PORT 1"; 1: not numbered.
        int portNumber = 1;
        juce::uint32 seed = 1;
        bool startsInUpdateMode = false;
        Timing timing;
        std::vector<KeyboardFault> faults;
        juce::File traceFile;

        /** The command-line options the demo and the headless runner share: --model,
            --layout (class, private or new), --update-mode-layout (class or new),
            --port-number, --firmware, --profile and --seed, each with a value.
        */
        static bool isOption (const juce::String& name);

        /** Takes one of those options; false when its value is not one it can take. */
        bool applyOption (const juce::String& name, const juce::String& value);
    };

    /** The user's data: the 14 global settings (four value bytes each, by global ID) and
        32 presets of 384 x 5 payload bytes.
    */
    struct UserData
    {
        std::map<int, std::array<juce::uint8, 4>> globals;
        std::vector<std::vector<juce::uint8>> presets;

        bool operator== (const UserData& other) const { return globals == other.globals && presets == other.presets; }
        bool operator!= (const UserData& other) const { return ! operator== (other); }
    };

    static constexpr int numPresets = 32;
    static constexpr int presetDataMessages = 384;
    static constexpr int payloadBytesPerMessage = 5;
    static constexpr double newFirmwareVersion = 1.25;

    /** The private driver's capture port that carries the answers on the private layout. */
    static constexpr int privateReplyPort = 2;

    /** Creates the keyboard plugged in. On the private layout it is an instance of the
        private driver, attached while it is plugged in, and its answers reach the
        computer only through the driver; without a driver they reach nothing.
    */
    SimulatedKeyboard (VirtualMidiPortSystem::Ptr ports, Settings settings, SimulatedPrivateDriver::Ptr privateDriver = nullptr);
    ~SimulatedKeyboard() override;

    void plug();
    void unplug();
    bool isPlugged() const;

    juce::String getModelName() const;
    juce::uint8 getModelCode() const noexcept { return modelCode; }
    /** The names it is listed under now: in its update mode they may differ. */
    juce::StringArray getInputNames() const;
    juce::StringArray getOutputNames() const;

    bool isInUpdateMode() const;
    double getFirmwareVersion() const;
    UserData getUserData() const;

    /** The data as it was when the keyboard was told to enter its update mode. */
    std::optional<UserData> getUserDataBeforeUpdate() const;

    /** The last stream the loader accepted for this image; empty when none. */
    std::vector<juce::uint8> getFlashedImage (FirmwareStreamChecker::Image image) const;

    /** Why the loader refused streams, oldest first. */
    juce::StringArray getRejections() const;

    /** Its instance of the private driver; -1 when it has none. */
    int getPrivateDriverInstance() const noexcept { return privateInstance; }

    /** What happened, one line per event ("identity request", "update mode", ...). */
    juce::StringArray getLog() const;

    /** Checks the data after an update against the data before it, as the updater's
        restore must leave it: everything back, except that after firmware older than
        1.16 presets 6 to 29 move to places 8 to 31, places 6 and 7 keep the new
        firmware's presets and presets 30 and 31 are gone. Empty when all is right,
        otherwise the first difference.
    */
    juce::String checkRestore() const;

    /** The data a keyboard made with this seed holds; the factory data of the new
        firmware comes from factoryDataFor.
    */
    static UserData makeUserData (juce::uint32 seed);
    static UserData factoryDataFor (int keys);

private:
    using Bytes = std::vector<juce::uint8>;

    void run() override;
    void receive (const juce::String& port, const juce::MidiMessage& message);
    void handle (const Bytes& message);
    void handleInNormalMode (const Bytes& message);
    void handleInUpdateMode (const Bytes& message);
    void answerIdentityRequest();
    void answerGlobalRequest (int id);
    void dumpPreset();
    std::pair<int, int> targetOf (const Bytes& restoreMessage) const;
    void storeRestoredMessage (const Bytes& message);
    void enterUpdateMode();
    void finishStream();
    void restart (KeyboardFault::Point point, int delayMs);

    /** Sends one answer, unless a fault at this point says otherwise; false once the
        keyboard has stopped answering.
    */
    bool answer (Bytes message, KeyboardFault::Point point, int index, int subIndex = 0);
    void send (const Bytes& message);
    const KeyboardFault* findFault (KeyboardFault::Kind kind, KeyboardFault::Point point, int index = 0, int subIndex = 0) const;

    /** The fault of this kind at this point that fires now; one that fires once is spent. */
    const KeyboardFault* takeFault (KeyboardFault::Kind kind, KeyboardFault::Point point, int index = 0, int subIndex = 0);

    /** Plugs the keyboard in again after this long; never for 0. */
    void replugAfter (int delayMs);
    void waitForLink (size_t bytes) const;
    void log (const juce::String& event);

    // Under stateMutex.
    juce::StringArray portNames (bool inputs) const;
    Bytes header() const;
    Bytes identityReply() const;

    VirtualMidiPortSystem::Ptr ports;
    SimulatedPrivateDriver::Ptr privateDriver;
    int privateInstance = -1;
    const Settings settings;
    const juce::uint8 modelCode;
    std::unique_ptr<TrafficTrace> trace;

    // Which faults have fired and will not again; the keyboard's thread alone uses it.
    std::vector<bool> spent;

    mutable std::mutex stateMutex;
    std::vector<int> inputIds, outputIds;
    int replyInputId = 0;
    juce::String replyInputName;
    bool updateMode = false;
    bool silenced = false;
    double version;
    UserData data;
    std::optional<UserData> dataBeforeUpdate;
    double versionBeforeUpdate = 0.0;
    std::map<FirmwareStreamChecker::Image, Bytes> flashed;
    bool appAcceptedThisSession = false;
    juce::StringArray rejections, events;

    // Where the conversation stands, for the fault points.
    int identityRequests = 0, globalRequests = 0, messagesSinceReboot = 0;
    bool rebooted = false, restoreBegun = false;
    int selectedPreset = 0;
    std::optional<int> restoringPreset;
    std::optional<std::pair<std::pair<int, int>, bool>> corruptTarget; // where a byte is stored changed; whether every time
    Bytes restoredPresetData;
    int restoredPresetMessages = 0;
    Bytes stream;
    int streamWrites = 0;
    std::optional<FirmwareStreamChecker::Image> streamImage;

    // The worker's queue: messages received, and when the ports come back after a restart.
    std::mutex inboxMutex;
    std::condition_variable inboxChanged;
    std::deque<Bytes> inbox;
    std::optional<juce::uint32> returnAtMs;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (SimulatedKeyboard)
};
