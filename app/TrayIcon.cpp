#include "TrayIcon.h"

#include "Acknowledgements.h"
#include "CAlvetraApp.h"
#include "CAlvetraView.h"
#include "Notifier.h"
#include "doors/Doors.h"
#include "serial/SerialPort.h"
#include "settings/GeneralSettings.h"

#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <algorithm>

namespace {

QIcon HealthIcon(TrayIcon::LineHealth health)
{
    QPixmap picture(QStringLiteral(":/logo.xpm"));
    picture = picture.scaled(32, 32, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QColor colour;
    switch (health) {
    case TrayIcon::LineHealth::Well:
        colour = QColor(0, 170, 0);
        break;
    case TrayIcon::LineHealth::AlertsWaiting:
        colour = QColor(40, 90, 230);
        break;
    case TrayIcon::LineHealth::Silent:
        colour = QColor(230, 180, 0);
        break;
    case TrayIcon::LineHealth::NotDraining:
        colour = QColor(235, 145, 0);
        break;
    case TrayIcon::LineHealth::Reconnecting:
        colour = QColor(240, 110, 0);
        break;
    case TrayIcon::LineHealth::NotOpen:
        colour = QColor(210, 0, 0);
        break;
    }
    // A dot in the corner: the logo stays recognisable, the state readable at a glance.
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 2));
    painter.setBrush(colour);
    painter.drawEllipse(QRect(17, 17, 14, 14));
    return QIcon(picture);
}

} // namespace

TrayIcon::TrayIcon(Notifier &notifier, QObject *parent)
    : QObject(parent)
    , m_notifier(notifier)
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(this);
        connect(m_tray, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger
                        || reason == QSystemTrayIcon::DoubleClick)
                        emit Activated();
                });
        m_menu = new QMenu;
        connect(m_menu->addAction(QStringLiteral("Show Alvetra")), &QAction::triggered, this,
                &TrayIcon::Activated);
        QAction *acknowledge = m_menu->addAction(QStringLiteral("Acknowledge All"));
        acknowledge->setObjectName(QStringLiteral("trayAcknowledgeAll"));
        connect(acknowledge, &QAction::triggered, this, &TrayIcon::AcknowledgeAllRequested);
        m_tray->setContextMenu(m_menu);
    }
    m_look.setInterval(1000);
    connect(&m_look, &QTimer::timeout, this, &TrayIcon::Look);
    m_look.start();
    Look();
    if (m_tray)
        m_tray->show();
}

TrayIcon::~TrayIcon()
{
    delete m_menu;
}

void TrayIcon::Trouble(const QString &key, bool now, const QString &summary, const QString &back)
{
    if (now)
        m_notifier.RaiseTrouble(key, summary, QString());
    else
        m_notifier.ClearTrouble(key, back);
}

void TrayIcon::Look()
{
    CAlvetraView *view = GetLogView();
    if (!view)
        return;
    const SerialPort &in = GetInPort();
    const SerialPort &out = GetOutPort();
    const bool inLost = !in.ReconnectingSince().isNull();
    const bool outLost = !out.ReconnectingSince().isNull();
    const bool silent = view->Watch().AlarmRaised();
    const bool noFrames = view->Watch().FrameAlarmRaised();

    const auto health = [](bool lost, bool open, bool watched, bool quiet, bool stuck) {
        if (lost)
            return LineHealth::Reconnecting;
        if (!open && watched)
            return LineHealth::NotOpen;
        if (stuck)
            return LineHealth::NotDraining;
        return quiet ? LineHealth::Silent : LineHealth::Well;
    };
    const bool outStuck = !out.RefusingSince().isNull();
    const Acknowledgements &acknowledgements = CAlvetraApp::Instance()->GetAcknowledgements();
    const LineHealth worst = std::max(
        {health(inLost, in.IsDeviceOpen(), true, silent || noFrames, false),
         health(outLost, out.IsDeviceOpen(), GetGeneralSettings().m_sendToPort != 0, false,
                outStuck),
         acknowledgements.WaitingCount() > 0 ? LineHealth::AlertsWaiting : LineHealth::Well});

    Trouble(QStringLiteral("input-lost"), inLost,
            QStringLiteral("The input line (com%1) is lost").arg(in.PortNumber()),
            QStringLiteral("The input line (com%1) is back").arg(in.PortNumber()));
    Trouble(QStringLiteral("output-lost"), outLost,
            QStringLiteral("The output line (com%1) is lost").arg(out.PortNumber()),
            QStringLiteral("The output line (com%1) is back").arg(out.PortNumber()));
    Trouble(QStringLiteral("output-stuck"), outStuck,
            QStringLiteral("The output line (com%1) is not draining").arg(out.PortNumber()),
            QStringLiteral("The output line (com%1) drains again").arg(out.PortNumber()));
    Trouble(
        QStringLiteral("input-silent"), silent,
        QStringLiteral("The input line (com%1) is silent").arg(in.PortNumber()),
        QStringLiteral("Bytes are flowing again on the input line (com%1)").arg(in.PortNumber()));
    Trouble(
        QStringLiteral("input-no-frames"), noFrames,
        QStringLiteral("The input line (com%1) brings no message").arg(in.PortNumber()),
        QStringLiteral("Messages are framed again on the input line (com%1)").arg(in.PortNumber()));

    if (!m_tray)
        return;
    if (!m_iconSet || worst != m_shown)
        m_tray->setIcon(HealthIcon(worst));
    m_iconSet = true;
    m_shown = worst;
    QString tip
        = view->Watch().InputPaneText() + QLatin1Char('\n') + view->Watch().OutputPaneText();
    if (const QString waiting = acknowledgements.PaneText(); !waiting.isEmpty())
        tip += QLatin1Char('\n') + waiting;
    if (const CentralShipper *shipper = CAlvetraApp::Instance()->GetShipper())
        tip += QLatin1Char('\n') + shipper->StateText();
    if (m_tray->toolTip() != tip)
        m_tray->setToolTip(tip);
}
