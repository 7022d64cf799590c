#include "ReceivedFile.h"

#include "journal/JournalRecord.h"

#include "MessageDispatcher.h"
#include "doors/Doors.h"
#include "files/WholeFileWriter.h"
#include "receiver/EdisMessage.h"
#include "rtf/Cp1252.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

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

struct FileJob
{
    quint64 m_id;
    QString m_folder;
    QString m_path;
    QByteArray m_content;
};

// The filing thread: takes jobs in order and hands back each result; it touches nothing but
// its queue and the files.
class FilingThread
{
public:
    FilingThread()
        : m_thread(&FilingThread::Run, this)
    {}

    void Enqueue(FileJob job)
    {
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back(std::move(job));
        }
        m_more.notify_one();
    }

    std::vector<std::pair<quint64, ReceivedFileResult>> TakeResults()
    {
        std::lock_guard lock(m_mutex);
        m_reportDue = true;
        return std::exchange(m_results, {});
    }

    void AwaitResult()
    {
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [this] { return !m_results.empty(); });
    }

    // Ends the thread once its queue is empty.
    void Stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_more.notify_one();
        m_thread.join();
    }

private:
    void Run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_more.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
            if (m_jobs.empty())
                break;
            FileJob job = std::move(m_jobs.front());
            m_jobs.pop_front();
            lock.unlock();
            const int cause = WriteWholeFile(job.m_folder, job.m_path, job.m_content);
            const QDateTime at = QDateTime::currentDateTimeUtc();
            lock.lock();
            m_results.emplace_back(job.m_id, ReceivedFileResult{cause, at});
            m_done.notify_all();
            // One queued call for all the results it finds: a burst wakes the window once.
            if (std::exchange(m_reportDue, false) && QCoreApplication::instance() != nullptr)
                QMetaObject::invokeMethod(QCoreApplication::instance(), &TakeFiled,
                                          Qt::QueuedConnection);
        }
    }

    static void TakeFiled();

    std::mutex m_mutex;
    std::condition_variable m_more;
    std::condition_variable m_done;
    // Guarded by m_mutex.
    std::deque<FileJob> m_jobs;
    std::vector<std::pair<quint64, ReceivedFileResult>> m_results;
    bool m_reportDue = true;
    bool m_stop = false;
    std::thread m_thread; // last: it starts once everything above is made
};

// What waits on the GUI thread for its file, or for the files before it: `m_id` 0 waits for no
// file of its own.
struct Waiting
{
    quint64 m_id;
    std::function<void(const ReceivedFileResult &)> m_then;
    std::optional<ReceivedFileResult> m_result;
};

std::deque<Waiting> &WaitingOutputs()
{
    static std::deque<Waiting> waiting;
    return waiting;
}

FilingThread *&Filing()
{
    static FilingThread *thread = nullptr;
    return thread;
}

// Runs, in order, what waits at the front with its file known (or with none of its own).
void RunReady()
{
    std::deque<Waiting> &waiting = WaitingOutputs();
    if (FilingThread *thread = Filing()) {
        for (auto &[id, result] : thread->TakeResults()) {
            for (Waiting &entry : waiting) {
                if (entry.m_id == id) {
                    entry.m_result = result;
                    break;
                }
            }
        }
    }
    // Taken off the queue before it runs: what it runs may queue a message of its own.
    while (!waiting.empty() && (waiting.front().m_id == 0 || waiting.front().m_result)) {
        Waiting entry = std::move(waiting.front());
        waiting.pop_front();
        entry.m_then(entry.m_result.value_or(ReceivedFileResult{}));
    }
}

void FilingThread::TakeFiled()
{
    RunReady();
}

void FinishAtExit()
{
    FinishReceivedFiles();
    if (FilingThread *thread = std::exchange(Filing(), nullptr)) {
        thread->Stop();
        delete thread;
    }
}

} // namespace

void QueueReceivedFile(const QString &folder,
                       const QString &path,
                       const QByteArray &content,
                       std::function<void(const ReceivedFileResult &)> then)
{
    FilingThread *&thread = Filing();
    if (thread == nullptr) {
        // No event loop to bring the result back: filed here and now, as before there was a
        // thread.
        if (QCoreApplication::instance() == nullptr) {
            const int cause = WriteWholeFile(folder, path, content);
            RunReady();
            then({cause, QDateTime::currentDateTimeUtc()});
            return;
        }
        thread = new FilingThread;
        static const bool finishesAtExit = [] {
            qAddPostRoutine(FinishAtExit);
            return true;
        }();
        Q_UNUSED(finishesAtExit)
    }
    static quint64 lastId = 0;
    const quint64 id = ++lastId;
    WaitingOutputs().push_back({id, std::move(then), std::nullopt});
    thread->Enqueue({id, folder, path, content});
}

void AfterReceivedFiles(std::function<void()> then)
{
    std::deque<Waiting> &waiting = WaitingOutputs();
    if (waiting.empty()) {
        then();
        return;
    }
    waiting.push_back({0, [then = std::move(then)](const ReceivedFileResult &) { then(); }, {}});
}

void FinishReceivedFiles()
{
    RunReady();
    // Every message that passed has its file, however slow the disk: as long as it writes
    // them, the end waits, as it did when the window's thread wrote them.
    while (!WaitingOutputs().empty()) {
        FilingThread *thread = Filing();
        if (thread == nullptr)
            break; // nothing can come: none waits for a file without the thread
        thread->AwaitResult();
        RunReady();
    }
}

QString MessageDispatcher::WriteToFile()
{
    const QString folder = GetProgramFolder() + QStringLiteral("/Received");
    const QString path = folder + QLatin1Char('/') + MessageFileName(m_message->m_header);
    const int cause = WriteWholeFile(folder, path, MessageFileContent(*m_message));
    return KeepFileResult(path, {cause, QDateTime::currentDateTimeUtc()});
}

QString MessageDispatcher::KeepFileResult(const QString &path,
                                          const ReceivedFileResult &filed) const
{
    const bool ok = filed.m_cause == kNone;
    RecordOutput(int(JournalOutputKind::File), ok, ok ? path : FileErrorCauseText(filed.m_cause),
                 filed.m_at);
    if (ok)
        return path;
    LogError(QStringLiteral("Error writing passed message to file - ")
             + FileErrorCauseText(filed.m_cause));
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
