#pragma once

#include "midi/PortablePrivateDriverSystem.h"

/** A machine without the maker's private driver: no registry to read, no device file to
    open. The client then finds no driver instance and opens nothing.
*/
class NoPrivateDriverSystem final : public PortablePrivateDriverSystem
{
public:
    NoPrivateDriverSystem() = default;

    Handle openKey (const char*) override { return 0; }
    void closeKey (Handle) override {}
    bool getSubkeyCount (Handle, juce::uint32&) override { return false; }
    bool getSubkeyName (Handle, juce::uint32, char*, juce::uint32&) override { return false; }
    bool getValue (Handle, const char*, juce::uint32&, void*, juce::uint32&) override { return false; }
    bool notifyOnChange (Handle, Handle) override { return false; }

    Handle openDevice (const char*) override { return 0; }
    bool requestProperty (Handle, const void*, juce::uint32, void*, juce::uint32, juce::uint32&) override { return false; }
    void closeDevice (Handle) override {}

private:
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (NoPrivateDriverSystem)
};
