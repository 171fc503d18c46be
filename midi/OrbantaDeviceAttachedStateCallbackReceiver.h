#pragma once

class PrivateMidiDevice;

/** Told by a driver instance's device object whether the instance is attached. */
class OrbantaDeviceAttachedStateCallbackReceiver
{
public:
    virtual void deviceAttachedStateChanged (bool attached, PrivateMidiDevice& device) = 0;

protected:
    // Never deleted through this interface.
    ~OrbantaDeviceAttachedStateCallbackReceiver() = default;
};
