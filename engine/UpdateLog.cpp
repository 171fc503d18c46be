#include "engine/UpdateLog.h"

#include "engine/EngineTypes.h"

namespace
{
juce::String versionText (double version)
{
    return version > 0.0 ? juce::String (version, 2) : juce::String ("unknown");
}
} // namespace

juce::String UpdateLog::now()
{
    const auto t = juce::Time::getCurrentTime();
    return t.formatted ("%Y-%m-%d %H:%M:%S.") + juce::String (t.getMilliseconds()).paddedLeft ('0', 3);
}

void UpdateLog::begin (bool emergency, int model, double versionBefore)
{
    const juce::ScopedLock sl (lock);
    const juce::String name (HardwareModel::nameOf (model));
    lines.clear();
    lines.add ("MORELTA Firmware Updater " MORELTA_UPDATER_VERSION);
    lines.add (juce::String (emergency ? "Emergency update" : "Update") + " of " + (name.isEmpty() ? juce::String ("an unknown keyboard") : name));
    lines.add ("Firmware before: " + versionText (versionBefore));
    lines.add (now() + "  started");
    active = true;
    lastStatus = -1;
}

void UpdateLog::step (int status)
{
    const juce::ScopedLock sl (lock);

    if (! active || status == lastStatus)
        return;

    lastStatus = status;
    lines.add (now() + "  " + EngineStatus::nameOf (status));
}

void UpdateLog::again (int tryNumber)
{
    const juce::ScopedLock sl (lock);
    lines.add (now() + "  try " + juce::String (tryNumber) + ": the firmware is sent again");
    active = true;
    lastStatus = -1;
}

void UpdateLog::note (const juce::String& text)
{
    const juce::ScopedLock sl (lock);

    if (active)
        lines.add (now() + "  " + text);
}

void UpdateLog::end (const juce::String& outcome, double versionAfter, const juce::StringArray& midiLines)
{
    const juce::ScopedLock sl (lock);

    if (! active)
        return;

    lines.add (now() + "  ended: " + outcome);
    lines.add ("Firmware after: " + versionText (versionAfter));
    lines.addArray (midiLines);
    active = false;
}

bool UpdateLog::isActive() const
{
    const juce::ScopedLock sl (lock);
    return active;
}

juce::String UpdateLog::getText() const
{
    const juce::ScopedLock sl (lock);
    return lines.joinIntoString ("\n") + "\n";
}

bool UpdateLog::writeTo (const juce::File& folder) const
{
    return folder != juce::File() && folder.createDirectory().wasOk() && folder.getChildFile (fileName).replaceWithText (getText());
}
