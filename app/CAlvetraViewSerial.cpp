// The log view's side of the serial lines: opening the ports and taking their bytes.
#include "CAlvetraView.h"

#include "doors/Doors.h"
#include "receiver/MsgReciever.h"
#include "settings/GeneralSettings.h"

int CAlvetraView::OnSerialByte(int byte, int portNumber)
{
    if (portNumber != GetGeneralSettings().m_inSerialPort)
        return -1;
    GetReceiver().ProcessChar(byte);
    return 0;
}
