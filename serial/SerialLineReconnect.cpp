#include "SerialLine.h"

#include "settings/GeneralSettings.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTimer>

#include <utility>

void SerialPort::Line::LetGo(QSerialPort &device)
{
    if (!device.isOpen())
        return;
    // What was read before the failure still goes to the owner, then the news that the
    // message it belonged to will never be completed.
    if (HandsOverBytes())
        Drain(device);
    device.close();
    m_deviceOpen = false;
    m_writing = false;
    m_pausing = false;
    ++m_pauses;
    std::vector<quint64> dropped;
    {
        QMutexLocker locker(&m_writeLock);
        // Counted while the device was being let go too: add, never overwrite.
        m_lostWhileGone += CountMessages();
        dropped = TagsNotSent();
        m_writes.clear();
        m_queuedBytes = 0;
        m_deviceUnsent = 0;
        if (m_refusing)
            m_refusedBeforeLoss += std::exchange(m_refused, 0);
        m_refusing = false;
        m_refusingSince = 0;
    }
    m_pieceInHand = false;
    m_cutBy.clear();
    for (const quint64 tag : dropped)
        m_port.MessageDone(tag, false, QStringLiteral("dropped: the line was lost"));
    if (HandsOverBytes() && !m_stop)
        m_port.LineLost();
    else if (!m_stop)
        m_port.Notify(LineEvent::Lost, {});
    m_reconnectingSince = QDateTime::currentMSecsSinceEpoch();
    if (m_retry)
        m_retry->start();
}

// Tries the configured name afresh each time: a stable name from /dev/serial/by-id is a link
// that goes on unplug and comes back on replug, perhaps to another device. Silent while the
// device stays missing or busy; the failure line has been written.
void SerialPort::Line::TryReopen(QSerialPort &device)
{
    if (m_stop)
        return;
    const QString name = SerialDeviceForPort(m_settings.portNumber);
    const char *failedCall = nullptr;
    QString failureText;
    if (!OpenLine(device, name, m_settings, &failedCall, &failureText)) {
        // A device that is back but cannot take the settings says so once per outage.
        if (failedCall && !m_setUpReported) {
            m_setUpReported = true;
            m_port.Log(true, FailureText(failedCall, failureText, m_settings.portNumber));
        }
        return;
    }
    m_retry->stop();
    m_failed = false;
    m_setUpReported = false;
    m_deviceOpen = true;
    m_reconnectingSince = 0;
    int lost = 0;
    int refused = 0;
    {
        QMutexLocker locker(&m_writeLock);
        std::swap(lost, m_lostWhileGone);
        std::swap(refused, m_refusedBeforeLoss);
    }
    const QString target = QFileInfo(name).canonicalFilePath();
    const QString shown
        = target.isEmpty() || target == name ? name : QStringLiteral("%1 -> %2").arg(name, target);
    QString back = QStringLiteral("The serial line COM%1 (%2) is back and works again.")
                       .arg(m_settings.portNumber)
                       .arg(shown);
    if (lost > 0)
        back += QStringLiteral(" %1 messages queued on it while it was gone were not sent.")
                    .arg(lost);
    m_port.Log(false, back);
    m_port.Notify(LineEvent::Back, shown);
    SendNext();
}
