#include "LockKeys.h"

#include <QGuiApplication>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(ALVETRA_HAVE_XKB)
#include <QtGui/qguiapplication_platform.h>
// Last: the X11 headers define macros (Bool, Status, None) that clash with Qt's names.
#include <X11/XKBlib.h>
#endif

LockKeys ReadLockKeys()
{
    LockKeys keys;
#if defined(Q_OS_WIN)
    keys.known = true;
    keys.capsLock = (GetKeyState(VK_CAPITAL) & 1) != 0;
    keys.numLock = (GetKeyState(VK_NUMLOCK) & 1) != 0;
    keys.scrollLock = (GetKeyState(VK_SCROLL) & 1) != 0;
#elif defined(ALVETRA_HAVE_XKB)
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display *display = x11 ? x11->display() : nullptr;
    if (!display)
        return keys;
    // Asked by name: the bit of each indicator differs between keyboard maps.
    const auto indicator = [display](const char *name) {
        const Atom atom = XInternAtom(display, name, True);
        int on = 0;
        if (atom != 0)
            XkbGetNamedIndicator(display, atom, nullptr, &on, nullptr, nullptr);
        return on != 0;
    };
    keys.known = true;
    keys.capsLock = indicator("Caps Lock");
    keys.numLock = indicator("Num Lock");
    keys.scrollLock = indicator("Scroll Lock");
#endif
    return keys;
}
