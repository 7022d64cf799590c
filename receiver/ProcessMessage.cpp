#include "ProcessMessage.h"

void ProcessMessage(const QByteArray &)
{
    // Built by the pipeline work.
}
