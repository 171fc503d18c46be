#pragma once

#include <juce_core/juce_core.h>

/** A file held open so that no other process can open it, as the companion software
    does with its in-use lock file.

    On Windows this is the file opened with sharing mode 0. Other platforms have no
    sharing modes, so there the same file is held with an exclusive advisory lock,
    which every process that follows this convention respects.
*/
class ExclusiveFileLock final
{
public:
    ExclusiveFileLock() = default;
    ~ExclusiveFileLock();

    /** Creates the file if it does not exist, otherwise opens the existing one for
        reading; either open fails while another holder has the file. Any file held
        before is let go first. Returns whether the file is now held.
    */
    bool acquire (const juce::String& path);

    /** Lets the file go; the file itself stays on disk. */
    void release();

    bool isHeld() const noexcept;

private:
#if JUCE_WINDOWS
    void* handle = reinterpret_cast<void*> (static_cast<juce::pointer_sized_int> (-1));
#else
    int descriptor = -1;
#endif

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (ExclusiveFileLock)
};
