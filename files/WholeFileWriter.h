#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

// Writes a file whole or not at all. The bytes go to a temporary file beside the target, which
// replaces the target only once every byte has been written, so a full disk, an exhausted
// quota or a file-size limit leave the old file as it was and no empty or cut file under the
// target's name. A failure is returned with its cause. Any thread; one object per write.
class WholeFileWriter
{
public:
    explicit WholeFileWriter(const QString &path)
        : m_path(path)
    {}

    // A file the user may write in a folder he may not (a shared working folder) cannot get a
    // temporary file beside it. With the fallback such a file is written in place, as a plain
    // write would; only then can a failed write leave it cut. Off by default.
    void SetDirectWriteFallback(bool enabled) { m_directWriteFallback = enabled; }

    // For a folder that several users share: the file is made with `mode` (0664, say) whatever
    // the umask, and replaces a file of the same name whoever made it, as long as the user may
    // write the folder; the old file's own permissions do not count, as for any rename. Zero,
    // the default, writes as above. Unix only; elsewhere the setting is ignored.
    void SetSharedFolderMode(unsigned mode) { m_sharedMode = mode; }

    // Makes `content` the whole of the file. True once it is; false with the old file (or no
    // file) left in place, and the accessors below saying why.
    bool Write(const QByteArray &content);

    // Whether the file could be created at all: false means no byte was written.
    bool Opened() const { return m_opened; }
    // The platform's error number (errno) of the call that failed, 0 when it gave none.
    int ErrorNumber() const { return m_errorNumber; }
    QFileDevice::FileError Error() const { return m_error; }
    // The platform's description of the failure, for a message to the user.
    QString ErrorString() const { return m_errorString; }

private:
    bool WriteInPlace(const QByteArray &content);
#ifdef Q_OS_UNIX
    bool WriteShared(const QByteArray &content);
#endif
    bool WriteAll(QFileDevice &file, const QByteArray &content);
    bool Fail(const QFileDevice &file, int errorNumber);
    bool Fail(QFileDevice::FileError error, int errorNumber);

    QString m_path;
    bool m_directWriteFallback = false;
    unsigned m_sharedMode = 0;
    bool m_opened = false;
    int m_errorNumber = 0;
    QFileDevice::FileError m_error = QFileDevice::NoError;
    QString m_errorString;
};
