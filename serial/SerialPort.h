#pragma once

#include <QByteArray>
#include <QObject>

// One COM port with its monitoring thread. (Skeleton: the serial issue builds the real port.)
class SerialPort
{
public:
    virtual ~SerialPort() = default;

    void Configure(QObject *owner,
                   int portNumber,
                   int baud,
                   char parity,
                   int dataBits,
                   int stopBits,
                   int eventMask,
                   int outBufferSize);
    bool OpenPort();
    bool StartThread();
    void QueueWrite(const QByteArray &text);
    int OutBufferSize() const { return m_outBufferSize; }

private:
    QObject *m_owner = nullptr;
    int m_portNumber = 0;
    int m_outBufferSize = 0;
};
