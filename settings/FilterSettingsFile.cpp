#include "FilterFileFormat.h"
#include "FilterSettings.h"
#include "ScrambledFile.h"

#include "doors/Doors.h"

#include <QFileInfo>
#include <QString>

namespace {

const QString kFileName = QStringLiteral("flt.dat");
// What a file the dialog writes could ever need is a few hundred bytes; reading stops here so
// that a stray huge file is not taken into memory whole.
constexpr qint64 kReadLimit = 16 * 1024 * 1024;

// The causes a file failure is reported with; each has its own fixed text.
enum class FileFailure {
    Unknown,
    NotFound,
    TooManyOpenFiles,
    AccessDenied,
    HardwareError,
    DiskFull,
    PastEnd,
};

QString FailureText(FileFailure failure, const QString &file)
{
    switch (failure) {
    case FileFailure::NotFound:
        return QStringLiteral("%1 was not found.").arg(file);
    case FileFailure::TooManyOpenFiles:
        return QStringLiteral("%1 could not be opened because there are too many open files.")
            .arg(file);
    case FileFailure::AccessDenied:
        return QStringLiteral("Access to %1 was denied.").arg(file);
    case FileFailure::HardwareError:
        return QStringLiteral("A hardware I/O error was reported while accessing %1.").arg(file);
    case FileFailure::DiskFull:
        return QStringLiteral("Disk full while accessing %1.").arg(file);
    case FileFailure::PastEnd:
        return QStringLiteral("An attempt was made to access %1 past its end.").arg(file);
    case FileFailure::Unknown:
        break;
    }
    return QStringLiteral("An unknown error occurred while accessing %1.").arg(file);
}

// Qt reports open failures coarsely; the file itself tells which cause it was.
FileFailure OpenFailure(const QFileDevice &file, bool forWriting)
{
    if (file.error() == QFileDevice::ResourceError)
        return FileFailure::TooManyOpenFiles;
    const QFileInfo info(kFileName);
    if (!info.exists() && !forWriting)
        return FileFailure::NotFound;
    if (info.isDir())
        return FileFailure::AccessDenied;
    if (info.exists() && !(forWriting ? info.isWritable() : info.isReadable()))
        return FileFailure::AccessDenied;
    if (forWriting && !QFileInfo(info.absolutePath()).isWritable())
        return FileFailure::AccessDenied;
    return FileFailure::Unknown;
}

FileFailure TransferFailure(const QFileDevice &file)
{
    switch (file.error()) {
    case QFileDevice::ResourceError:
        return FileFailure::DiskFull;
    case QFileDevice::ReadError:
    case QFileDevice::WriteError:
        return FileFailure::HardwareError;
    case QFileDevice::PermissionsError:
    case QFileDevice::RenameError:
        return FileFailure::AccessDenied;
    default:
        return FileFailure::Unknown;
    }
}

} // namespace

QString FilterSettings::Load()
{
    ScrambledFile file(kFileName);
    if (!file.open(QIODevice::ReadOnly))
        return FailureText(OpenFailure(file, false), kFileName);
    const QByteArray plain = file.read(kReadLimit);
    if (file.error() != QFileDevice::NoError)
        return FailureText(TransferFailure(file), QFileInfo(file).absoluteFilePath());

    switch (DecodeFilterStream(plain, *this)) {
    case FilterStreamResult::Complete:
        return {};
    case FilterStreamResult::EndOfStream:
        if (plain.size() == kReadLimit && !file.atEnd())
            return QStringLiteral("Out of memory.");
        return FailureText(FileFailure::PastEnd, QStringLiteral("an unnamed file"));
    case FilterStreamResult::OutOfMemory:
        return QStringLiteral("Out of memory.");
    case FilterStreamResult::Damaged:
        break;
    }
    return FailureText(FileFailure::Unknown, QFileInfo(file).absoluteFilePath());
}

void FilterSettings::Save() const
{
    // The new stream goes to a file beside flt.dat, which replaces it only once complete: a
    // failed save must not leave the user without the criteria that worked.
    ScrambledSaveFile file(kFileName);
    if (!file.open(QIODevice::WriteOnly)) {
        LogError(FailureText(OpenFailure(file, true), kFileName));
        return;
    }
    const QByteArray plain = EncodeFilterStream(*this);
    if (file.write(plain) != plain.size() || !file.commit())
        LogError(FailureText(TransferFailure(file), QFileInfo(kFileName).absoluteFilePath()));
}
