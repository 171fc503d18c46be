#pragma once

#include "midi/PrivateDriverSystem.h"

/** The private driver seam on Windows: the registry, device I/O, events, threads and
    sleeps of Win32 itself. Built on Windows only.
*/
class Win32PrivateDriverSystem final : public PrivateDriverSystem
{
public:
    Win32PrivateDriverSystem() = default;

    Handle openKey (const char* path) override;
    void closeKey (Handle key) override;
    bool getSubkeyCount (Handle key, juce::uint32& count) override;
    bool getSubkeyName (Handle key, juce::uint32 index, char* name, juce::uint32& length) override;
    bool getValue (Handle key, const char* valueName, juce::uint32& type, void* data, juce::uint32& size) override;
    bool notifyOnChange (Handle key, Handle event) override;

    Handle openDevice (const char* path) override;
    bool requestProperty (Handle device, const void* input, juce::uint32 inputSize, void* value, juce::uint32 valueSize, juce::uint32& bytesReturned) override;
    void closeDevice (Handle device) override;

    Handle createEvent() override;
    void setEvent (Handle event) override;
    void resetEvent (Handle event) override;
    bool waitForEvent (Handle event, int timeoutMs) override;
    void closeEvent (Handle event) override;

    std::unique_ptr<Thread> startThread (const juce::String& name, std::function<void()> function) override;
    void sleep (int milliseconds) override;

private:
    class Win32Thread;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Win32PrivateDriverSystem)
};
