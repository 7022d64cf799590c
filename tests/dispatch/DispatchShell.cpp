#include "DispatchShell.h"

DispatchShell &Shell()
{
    static DispatchShell shell;
    return shell;
}

EdisMessage WorkedExample()
{
    EdisMessage message;
    message.m_header = "12345e2al9";
    message.m_headline = "Quake";
    message.m_body = "Body";
    message.m_trailer = "0930";
    message.m_outputText = QByteArray("\r\n\nT\r\n\n\x16\x16\x01") + "12345\x1f" + "e2al9\x02"
                           + "Quake\rmnopqBody\x03" + "0930\x04" + "\r\n\n\f\r\n\n";
    return message;
}

void SetOutputs(bool file, bool port, bool printer, int recoverTime)
{
    GeneralSettings &settings = Shell().m_generalSettings;
    settings.m_sendToFile = file ? 1 : 0;
    settings.m_sendToPort = port ? 1 : 0;
    settings.m_sendToPrinter = printer ? 1 : 0;
    settings.m_recoverTime = recoverTime;
}
