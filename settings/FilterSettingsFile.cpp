#include "FilterSettings.h"

#include "doors/Doors.h"

#include <QString>

// Reading and writing "flt.dat"; built by the pipeline work.
QString FilterSettings::Load()
{
    return {};
}

void FilterSettings::Save() const {}
