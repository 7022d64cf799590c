#include "doors/Doors.h"

#include <QCoreApplication>

// Help/, sounds/ and Received/ sit beside the executable itself. On Linux Qt takes this path
// from /proc/self/exe, links resolved, so a start through /usr/bin/alvetra (a link into
// /opt/alvetra) still finds the real program folder.
QString GetProgramFolder()
{
    return QCoreApplication::applicationDirPath();
}
