#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

const char kObjectPath[] = "/invalid/alvetra/Alvetra";
const char kInterface[] = "invalid.alvetra.Alvetra";
// The running one answers from its event loop, which a long user action may hold a moment.
constexpr int kRaiseTimeoutMs = 10000;

} // namespace

SingleInstance::SingleInstance(QObject *parent)
    : QObject(parent)
{}

SingleInstance::~SingleInstance()
{
    if (m_service.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterObject(QLatin1String(kObjectPath));
    bus.unregisterService(m_service);
}

QString SingleInstance::ServiceName(const QString &folder)
{
    const QFileInfo info(folder);
    const QString path
        = info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
    const QByteArray hash
        = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex().left(24);
    // A bus name's elements may not begin with a digit.
    return QStringLiteral("invalid.alvetra.Alvetra.s") + QString::fromLatin1(hash);
}

QString SingleInstance::SettingsFolder()
{
    const QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Dorvane"),
                          QStringLiteral("Alvetra"));
    return QFileInfo(store.fileName()).absolutePath();
}

SingleInstance::Outcome SingleInstance::Claim(QString *error)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return Outcome::NoBus;
    const QString service = ServiceName(SettingsFolder());
    // The object first, so a later start that finds the name finds it answering.
    bus.registerObject(QLatin1String(kObjectPath), this, QDBusConnection::ExportScriptableSlots);
    const auto reply
        = bus.interface()->registerService(service, QDBusConnectionInterface::DontQueueService,
                                           QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_service = service;
        return Outcome::First;
    }
    bus.unregisterObject(QLatin1String(kObjectPath));

    const QDBusMessage raise = QDBusMessage::createMethodCall(
        service, QLatin1String(kObjectPath), QLatin1String(kInterface), QStringLiteral("Raise"));
    const QDBusMessage answer = bus.call(raise, QDBus::Block, kRaiseTimeoutMs);
    if (answer.type() == QDBusMessage::ReplyMessage)
        return Outcome::Raised;
    if (error)
        *error = QStringLiteral("Alvetra: another Alvetra runs with the settings in %1 but does "
                                "not answer (%2). End it, or start this one with other settings.")
                     .arg(SettingsFolder(), answer.errorMessage());
    return Outcome::NotAnswering;
}

void SingleInstance::Raise()
{
    emit RaiseRequested();
}
