// Each run of Alvetra that writes the journal leaves a row in its table "runs": when it began,
// which process it is, the time of its latest row, and when it ended in order. A run that never
// got its end is one that a crash, a kill, the watchdog or a power cut took. Writer only, on the
// thread that owns the connection.
#pragma once

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QString>

// Who a run is: enough to tell, from another run on the same host, whether it still lives.
struct JournalRunIdentity
{
    QString m_host;
    QString m_boot; // the kernel's boot id: a run of an earlier boot lives no more
    qint64 m_pid = 0;
    qint64 m_pidStarted = 0; // the process's start, in clock ticks since boot: a pid is reused
    QString m_user;

    // This process.
    static JournalRunIdentity Own();
};

// A run found without its orderly end.
struct JournalUncleanRun
{
    QDateTime m_started;
    QDateTime m_lastRow; // the time of its latest row; invalid when it kept none
    QString m_host;
    qint64 m_pid = 0;
    QString m_user;
};

// Whether the run `other`, found without its end, may still be running: it may on another host
// (nothing here can tell), and does when its process is there, started when it did.
bool JournalRunMayLive(const JournalRunIdentity &other, const JournalRunIdentity &own);

// Makes the table when missing, finds the runs that ended without their end and that no run
// noticed before (each is told once, whoever of two Alvetras on one file starts first), and
// begins `own`'s row at `now`, in one immediate transaction. Its row's id, or -1 with the reason
// in `error`.
qint64 BeginJournalRun(QSqlDatabase &db,
                       const JournalRunIdentity &own,
                       const QDateTime &now,
                       QList<JournalUncleanRun> *unclean,
                       QString *error);

// Inside the caller's transaction: the run `runId` kept a row of time `at`.
bool NoteJournalRunRow(QSqlDatabase &db, qint64 runId, const QDateTime &at);

// The run `runId` ends in order at `now`.
bool EndJournalRun(QSqlDatabase &db, qint64 runId, const QDateTime &now);
