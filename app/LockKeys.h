#pragma once

// The state of the three lock keys, where the platform lets a program read it: on X11 and on
// Windows. Elsewhere (Wayland, the offscreen platform) `known` is false and all are off.
// GUI thread only.
struct LockKeys
{
    bool known = false;
    bool capsLock = false;
    bool numLock = false;
    bool scrollLock = false;
};

LockKeys ReadLockKeys();
