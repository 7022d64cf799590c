#include "WholeFileWriter.h"

#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

bool WholeFileWriter::Write(const QByteArray &content)
{
    m_error = QFileDevice::NoError;
    m_errorNumber = 0;
    m_errorString.clear();
#ifdef Q_OS_UNIX
    if (m_sharedMode != 0)
        return WriteShared(content);
#endif

    // Not QSaveFile's own fallback to writing in place: its destructor removes the target of a
    // write that failed there, taking the old file with it.
    QSaveFile file(m_path);
    // Unbuffered, so every byte reaches the file inside write() and its failure is seen there:
    // commit() flushes a buffer of its own, ignores a failed flush and still puts the cut file
    // in place of the old one.
    errno = 0;
    m_opened = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (!m_opened) {
        const int errorNumber = errno;
#ifdef Q_OS_UNIX
        if (m_directWriteFallback && errorNumber == EACCES && QFileInfo(m_path).isWritable())
            return WriteInPlace(content);
#endif
        return Fail(file, errorNumber);
    }
    if (!WriteAll(file, content)) {
        file.cancelWriting(); // the temporary file goes with the object
        return false;
    }
    errno = 0;
    if (!file.commit())
        return Fail(file, errno);
    return true;
}

bool WholeFileWriter::WriteInPlace(const QByteArray &content)
{
    QFile file(m_path);
    errno = 0;
    m_opened = file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
    if (!m_opened)
        return Fail(file, errno);
    if (!WriteAll(file, content))
        return false;
    errno = 0;
    file.close();
    if (file.error() != QFileDevice::NoError)
        return Fail(file, errno);
    return true;
}

// QSaveFile refuses to replace a file the user may not write, though the rename that would
// replace it needs only the folder: another operator's file in a shared folder would stay, and
// the new message would be lost. So the temporary file and the rename are done here.
#ifdef Q_OS_UNIX
bool WholeFileWriter::WriteShared(const QByteArray &content)
{
    const QByteArray target = QFile::encodeName(m_path);
    QByteArray temporary = target + ".XXXXXX";
    errno = 0;
    const int handle = ::mkstemp(temporary.data());
    m_opened = handle >= 0;
    if (!m_opened)
        return Fail(QFileDevice::OpenError, errno);
    const auto discard = [&temporary] { ::unlink(temporary.constData()); };
    // The umask of whoever writes first must not shut the others out.
    if (::fchmod(handle, mode_t(m_sharedMode)) != 0) {
        const int error = errno;
        ::close(handle);
        discard();
        return Fail(QFileDevice::PermissionsError, error);
    }
    QFile file;
    file.open(handle, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle);
    if (!WriteAll(file, content)) {
        file.close();
        discard();
        return false;
    }
    // As QSaveFile does: the name must not come to stand for bytes still in the cache.
    errno = 0;
    if (::fsync(handle) != 0) {
        const int error = errno;
        file.close();
        discard();
        return Fail(QFileDevice::WriteError, error);
    }
    file.close();
    errno = 0;
    if (::rename(temporary.constData(), target.constData()) != 0) {
        const int error = errno;
        discard();
        return Fail(QFileDevice::RenameError, error);
    }
    return true;
}
#endif

bool WholeFileWriter::WriteAll(QFileDevice &file, const QByteArray &content)
{
    // A write that stops short is repeated for the rest, which then fails with its cause: a
    // short count alone says nothing of why.
    qsizetype written = 0;
    while (written < content.size()) {
        errno = 0;
        const qint64 count = file.write(content.constData() + written, content.size() - written);
        if (count <= 0)
            return Fail(file, errno);
        written += count;
    }
    return true;
}

bool WholeFileWriter::Fail(QFileDevice::FileError error, int errorNumber)
{
    m_error = error;
    m_errorNumber = errorNumber;
    m_errorString = qt_error_string(errorNumber);
    return false;
}

bool WholeFileWriter::Fail(const QFileDevice &file, int errorNumber)
{
    m_error = file.error() == QFileDevice::NoError ? QFileDevice::UnspecifiedError : file.error();
    m_errorNumber = errorNumber;
    // Qt's text where it gave one, else the platform's for the error number.
    if (m_error == QFileDevice::UnspecifiedError && errorNumber != 0)
        m_errorString = qt_error_string(errorNumber);
    else
        m_errorString = file.errorString();
    return false;
}
