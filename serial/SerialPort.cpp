#include "SerialPort.h"

void SerialPort::Configure(
    QObject *owner, int portNumber, int, char, int, int, int, int outBufferSize)
{
    m_owner = owner;
    m_portNumber = portNumber;
    m_outBufferSize = outBufferSize;
}

bool SerialPort::OpenPort()
{
    return false;
}

bool SerialPort::StartThread()
{
    return false;
}

void SerialPort::QueueWrite(const QByteArray &) {}
