#include "ReceivedFile.h"

#include "journal/JournalRecord.h"

#include "MessageDispatcher.h"
#include "doors/Doors.h"
#include "files/WholeFileWriter.h"
#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"

#include <QFileInfo>

#include <cerrno>
#include <iterator>

namespace {

// The file-error causes the log names.
constexpr int kNone = 0;
constexpr int kGeneric = 1;
constexpr int kBadPath = 3;
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kInvalidFile = 6;
constexpr int kBadSeek = 9;
constexpr int kHardIO = 10;
constexpr int kSharingViolation = 11;
constexpr int kDiskFull = 13;

constexpr unsigned kSharedFileMode = 0664;

// Writes `content` as the whole of `path`, or nothing: a failed write never leaves an empty
// or cut message under the final name. Returns the failure cause, 0 on success.
int WriteWholeFile(const QString &folder, const QString &path, const QByteArray &content)
{
    // The program never makes the folder: the user decides whether messages are kept.
    if (!QFileInfo(folder).isDir())
        return kBadPath;
    WholeFileWriter writer(path);
    // The folder is shared between the station's operators (group-writable, set-group-id): a
    // message replaces the file of an older one whoever filed it, and leaves its own file
    // writable for the group.
    writer.SetSharedFolderMode(kSharedFileMode);
    if (writer.Write(content))
        return kNone;
    return FileErrorCauseFromErrno(writer.ErrorNumber());
}

} // namespace

QString MessageDispatcher::WriteToFile()
{
    const QString folder = GetProgramFolder() + QStringLiteral("/Received");
    const QString path = folder + QLatin1Char('/') + MessageFileName(m_message->m_header);
    const int cause = WriteWholeFile(folder, path, MessageFileContent(*m_message));
    RecordOutput(int(JournalOutputKind::File), cause == kNone,
                 cause == kNone ? path : FileErrorCauseText(cause));
    if (cause == kNone)
        return path;
    LogError(QStringLiteral("Error writing passed message to file - ") + FileErrorCauseText(cause));
    return {};
}

QString MessageFileName(const QByteArray &header)
{
    // Every header keeps a name of its own: a stand-in character would give "q/zzze2al9" and
    // "q_zzze2al9" one file, the later silently replacing the earlier.
    static constexpr char kHex[] = "0123456789ABCDEF";
    const bool dots = header == "." || header == "..";
    QByteArray name;
    name.reserve(header.size() + 4);
    for (const char c : header) {
        if (c == '/' || c == '\\' || c == '\0' || c == '%' || (dots && c == '.')) {
            const auto byte = quint8(c);
            name.append('%').append(kHex[byte >> 4]).append(kHex[byte & 0xF]);
        } else {
            name.append(c);
        }
    }
    return DecodeCp1252(name) + QStringLiteral(".txt");
}

QString FileErrorCauseText(int cause)
{
    static const char *const kTexts[] = {
        "No error occurred.",
        "An unspecified error occurred.",
        "The file could not be located.",
        "All or part of the path is invalid.",
        "The permitted number of open files was exceeded.",
        "The file could not be accessed.",
        "There was an attempt to use an invalid file handle.",
        "The current working directory cannot be removed.",
        "There are no more directory entries.",
        "There was an error trying to set the file pointer.",
        "There was a hardware error.",
        "SHARE.EXE was not loaded, or a shared region was locked.",
        "There was an attempt to lock a region that was already locked.",
        "The disk is full.",
        "The end of file was reached.",
    };
    if (cause < 0 || cause >= int(std::size(kTexts)))
        return QStringLiteral("unknown error");
    return QString::fromLatin1(kTexts[cause]);
}

int FileErrorCauseFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return kBadPath;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return kAccessDenied;
    case EMFILE:
    case ENFILE:
        return kTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return kDiskFull;
    case EBADF:
        return kInvalidFile;
    case EIO:
        return kHardIO;
    case ETXTBSY:
    case EBUSY:
        return kSharingViolation;
    case ESPIPE:
        return kBadSeek;
    default:
        return kGeneric;
    }
}
