#include "SingleInstance.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QSettings>
#include <QTimer>

namespace {

const char kObjectPath[] = "/invalid/alvetra/Alvetra";
const char kInterface[] = "invalid.alvetra.Alvetra";
// The running one answers from its event loop, which a long user action may hold a moment.
constexpr int kRaiseTimeoutMs = 10000;
// A copy that does not answer may be one that is ending (its event loop is done, its lines and
// journal not yet): its name goes with it. Longer than that, and it is hung.
constexpr int kReleaseWaitMs = 20000;
// The bus itself answers at once when it works; a start must not hang on one that does not.
constexpr int kBusTimeoutMs = 5000;

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

std::optional<SingleInstance::Outcome> SingleInstance::TakeName(const QString &service)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The object first, so a later start that finds the name finds it answering.
    bus.registerObject(QLatin1String(kObjectPath), this, QDBusConnection::ExportScriptableSlots);
    QDBusConnectionInterface *daemon = bus.interface();
    const int timeout = daemon->timeout();
    daemon->setTimeout(kBusTimeoutMs);
    const auto reply = daemon->registerService(service, QDBusConnectionInterface::DontQueueService,
                                               QDBusConnectionInterface::DontAllowReplacement);
    daemon->setTimeout(timeout);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_service = service;
        return Outcome::First;
    }
    bus.unregisterObject(QLatin1String(kObjectPath));
    // Held by another copy: what it says decides. A bus that failed: as if there were none.
    if (reply.isValid())
        return std::nullopt;
    return Outcome::NoBus;
}

SingleInstance::Outcome SingleInstance::Claim(QString *error)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return Outcome::NoBus;
    const QString service = ServiceName(SettingsFolder());
    if (const std::optional<Outcome> taken = TakeName(service))
        return *taken;

    // Asks the holder to raise its window and, while it does not, waits for its name to go.
    // Only start-up waits like this, before any window or line exists.
    QEventLoop loop;
    bool raised = false;
    QString why;
    QDBusServiceWatcher release(service, bus, QDBusServiceWatcher::WatchForUnregistration);
    connect(&release, &QDBusServiceWatcher::serviceUnregistered, &loop, &QEventLoop::quit);
    const QDBusMessage raise = QDBusMessage::createMethodCall(
        service, QLatin1String(kObjectPath), QLatin1String(kInterface), QStringLiteral("Raise"));
    QDBusPendingCallWatcher answer(bus.asyncCall(raise, kRaiseTimeoutMs));
    connect(&answer, &QDBusPendingCallWatcher::finished, &loop, [&] {
        raised = !answer.isError();
        if (raised)
            loop.quit();
        else
            why = answer.error().message();
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(kReleaseWaitMs);
    // The name may have gone before the watcher was there.
    if (bus.interface()->isServiceRegistered(service).value())
        loop.exec();
    if (raised)
        return Outcome::Raised;

    if (const std::optional<Outcome> taken = TakeName(service))
        return *taken;
    if (why.isEmpty())
        why = answer.isFinished()
                  ? answer.error().message()
                  : QStringLiteral("no answer within %1 seconds").arg(kReleaseWaitMs / 1000);
    if (error)
        *error = QStringLiteral("Alvetra: another Alvetra runs with the settings in %1 but does "
                                "not answer (%2). End it, or start this one with other settings.")
                     .arg(SettingsFolder(), why);
    return Outcome::NotAnswering;
}

void SingleInstance::Raise()
{
    emit RaiseRequested();
}
