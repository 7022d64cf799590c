#include "doors/Doors.h"

#include <QCoreApplication>

QString GetProgramFolder()
{
    return QCoreApplication::applicationDirPath();
}
