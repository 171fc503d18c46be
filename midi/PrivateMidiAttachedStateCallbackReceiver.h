#pragma once

class PrivateMidi;

/** Told by the driver client whether its instance is attached; every attach is passed
    on, also one while already attached.
*/
class PrivateMidiAttachedStateCallbackReceiver
{
public:
    virtual void deviceAttachedStateChanged (bool attached, PrivateMidi& midi) = 0;

protected:
    // Never deleted through this interface.
    ~PrivateMidiAttachedStateCallbackReceiver() = default;
};
