#pragma once

/** Where an update stands; the engine is busy in every status but idle and completed. */
namespace EngineStatus
{
enum : int
{
    idle = 0,
    backingUpGlobals = 1,
    backingUpPresets = 2,
    startingEmergencyUpdate = 3, // set without a notification
    erasingFirmware = 4,
    sendingApp = 5,
    sendingAssets = 6,
    waitingForReboot = 7,
    restoringGlobals = 8,
    restoringPresets = 9,
    completed = 10,
    checkingRestore = 11 // what was put back, read back from the keyboard and mended
};

/** "idle", "backingUpGlobals", ...: the names of the values, for logs and consoles. */
inline const char* nameOf (int status)
{
    static const char* const names[] = { "idle", "backingUpGlobals", "backingUpPresets", "startingEmergencyUpdate", "erasingFirmware", "sendingApp", "sendingAssets", "waitingForReboot", "restoringGlobals", "restoringPresets", "completed", "checkingRestore" };
    return status >= idle && status <= checkingRestore ? names[status] : "unknown";
}
} // namespace EngineStatus

/** Why an update stopped. */
namespace EngineError
{
enum : int
{
    deviceUnavailable = 0,
    globalsTimeout = 1,
    presetTimeout = 2,
    backupDataError = 3,
    firmwareNotConfirmed = 4, // the keyboard did not come back running the firmware sent to it
    restoreIncomplete = 5     // read back, the keyboard does not hold all that was put back
};

inline const char* nameOf (int error)
{
    static const char* const names[] = { "deviceUnavailable", "globalsTimeout", "presetTimeout", "backupDataError", "firmwareNotConfirmed", "restoreIncomplete" };
    return error >= deviceUnavailable && error <= restoreIncomplete ? names[error] : "unknown";
}
} // namespace EngineError

/** The keyboard model, learnt from its port names. */
namespace HardwareModel
{
enum : int
{
    morelta25 = 0,
    morelta49 = 1,
    morelta61 = 2,
    unknown = 3
};

/** "MORELTA25", "MORELTA49" or "MORELTA61"; empty for any other value. */
inline const char* nameOf (int model)
{
    static const char* const names[] = { "MORELTA25", "MORELTA49", "MORELTA61" };
    return model >= morelta25 && model <= morelta61 ? names[model] : "";
}
} // namespace HardwareModel

/** What the window says beside a wait that has gone on too long. */
namespace WaitNotice
{
enum : int
{
    none = 0,
    notInUpdateMode = 1, // told to enter its update mode, the keyboard has not restarted
    notBack = 2,         // the keyboard's port went away and has not come back
    severalKeyboards = 3 // it is to be found under other names, and another keyboard is there
};

inline const char* nameOf (int notice)
{
    static const char* const names[] = { "none", "notInUpdateMode", "notBack", "severalKeyboards" };
    return notice >= none && notice <= severalKeyboards ? names[notice] : "unknown";
}
} // namespace WaitNotice

/** What a run of the engine does; fixed when the run begins. */
enum class RunKind
{
    none,                // no run yet
    normal,              // backup, firmware, restart, restore
    emergency,           // firmware into a keyboard started in its update mode, restart
    normalTriedAgain,    // a failed normal update's firmware again, restart, restore
    emergencyTriedAgain, // a failed emergency update's firmware again, restart
    backupRestore,       // a backup folder put back into the keyboard
    putBack              // the user data of a restore cut short, from memory, once more
};

/** Whether a run of this kind puts no user data back: nothing was backed up for it. */
inline bool isEmergency (RunKind kind)
{
    return kind == RunKind::emergency || kind == RunKind::emergencyTriedAgain;
}

inline bool isTryAgain (RunKind kind)
{
    return kind == RunKind::normalTriedAgain || kind == RunKind::emergencyTriedAgain;
}
