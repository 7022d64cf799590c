#include "WholeFileWriter.h"

#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>

bool WholeFileWriter::Write(const QByteArray &content)
{
    m_error = QFileDevice::NoError;
    m_errorNumber = 0;
    m_errorString.clear();

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
