#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

// What can go wrong at a station that somebody away from its screen must hear of. Each is on
// from when it begins until it ends; at most one of each kind is on at a time.
enum class TroubleKind {
    InputLine,      // the input line lost, or not open
    Silence,        // no byte on the input line for the silence alarm's minutes
    NoFrames,       // bytes on the input line, but no message framed for a long while
    OutputDraining, // the output line does not take what is written to it
    Journal,        // the journal stopped writing
    UncleanEnd,     // the last run did not end in order (ends as it begins)
    AlertsWaiting,  // a passed message has waited for acknowledgement past its time
    Shipping,       // the central journal gets no rows
};

struct Trouble
{
    TroubleKind m_kind = TroubleKind::InputLine;
    QDateTime m_since;
    int m_line = 0; // the COM number where a line is concerned, else 0
    QString m_device;
    QString m_text; // the log line that said so
    // The journal's tickets of the line events that record its begin and, as Ended hands it
    // on, its end; 0 for none. The station's command's result joins them.
    quint64 m_row = 0;
    quint64 m_endRow = 0;
};

// The troubles on now, and the word of each that begins or ends. Whoever notices a trouble
// tells it here; whoever passes troubles on (the station's command, the monitoring, the tray)
// listens. GUI thread only.
class Troubles : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Begins `trouble`, unless one of its kind is on already: then nothing happens.
    void Begin(const Trouble &trouble);
    // Ends the trouble of `kind` if one is on; `text` is the log line that says so, `row` the
    // journal's ticket of the line event that records it.
    void End(TroubleKind kind, const QString &text, quint64 row = 0);
    bool IsOn(TroubleKind kind) const;
    // Those on now, in the order they began.
    const QList<Trouble> &Current() const { return m_current; }

signals:
    void Began(const Trouble &trouble);
    // `trouble` as it began.
    void Ended(const Trouble &trouble, const QString &text);

private:
    QList<Trouble> m_current;
};
