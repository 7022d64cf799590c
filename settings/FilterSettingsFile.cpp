#include "FilterFileFormat.h"
#include "FilterSettings.h"
#include "ScrambledFile.h"

#include "doors/Doors.h"
#include "files/WholeFileWriter.h"

#include <QFileInfo>
#include <QString>

#include <cerrno>

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

// The platform's own cause, where it gave one that has a text of its own. A file-size limit
// is no more room for the file, as a full disk or quota is.
FileFailure ErrnoFailure(int errorNumber)
{
    switch (errorNumber) {
#ifdef Q_OS_UNIX
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return FileFailure::DiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
        return FileFailure::AccessDenied;
    case EMFILE:
    case ENFILE:
        return FileFailure::TooManyOpenFiles;
    case EIO:
        return FileFailure::HardwareError;
#endif
    default:
        return FileFailure::Unknown;
    }
}

// Qt reports open failures coarsely; the file itself tells which cause it was.
FileFailure OpenFailure(QFileDevice::FileError error, bool forWriting)
{
    if (error == QFileDevice::ResourceError)
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

FileFailure TransferFailure(QFileDevice::FileError error)
{
    switch (error) {
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
        return FailureText(OpenFailure(file.error(), false), kFileName);
    const QByteArray plain = file.read(kReadLimit);
    if (file.error() != QFileDevice::NoError)
        return FailureText(TransferFailure(file.error()), QFileInfo(file).absoluteFilePath());

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
    // A failed save must not leave the user without the criteria that worked: the old file
    // stays until the new one is complete. A writable flt.dat in a folder the user may not
    // write (a shared working folder) is still written in place, as it always was.
    WholeFileWriter writer(kFileName);
    writer.SetDirectWriteFallback(true);
    QByteArray stream = EncodeFilterStream(*this);
    Scramble(stream.data(), stream.size());
    if (writer.Write(stream))
        return;
    const bool opened = writer.Opened();
    FileFailure failure = ErrnoFailure(writer.ErrorNumber());
    if (failure == FileFailure::Unknown)
        failure = opened ? TransferFailure(writer.Error()) : OpenFailure(writer.Error(), true);
    // A file that could not be created goes by its bare name, one that failed later by its path.
    LogError(FailureText(failure, opened ? QFileInfo(kFileName).absoluteFilePath() : kFileName));
}
