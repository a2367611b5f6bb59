#pragma once

#include "session/sessionlog.h"
#include "text/gbkfind.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// A search of a SessionLog of any size: the first match from a given place
// and the count of all matches, found in slices from the event loop (about
// kSliceMs each) so that the window never waits for a long log; next and
// previous from a position, at once. The count follows the log as it grows
// and starts again when the log is cleared (logChanged).
//
// Every position given in or out starts a character (a line's start does, and
// so does the end of a match).
class LogSearch : public QObject
{
    Q_OBJECT
public:
    explicit LogSearch(const SessionLog &log, QObject *parent = nullptr);
    const SessionLog &log() const { return m_log; }

    // Searches for finder's pattern: firstFound tells the first match at or
    // after origin (wrapping around to the start), countChanged the count as
    // it grows. An empty finder ends the search.
    void start(const GbkFinder &finder, qsizetype origin = 0);
    void stop() { start(GbkFinder()); }
    const GbkFinder &finder() const { return m_finder; }
    bool isActive() const { return !m_finder.isEmpty(); }

    qsizetype count() const { return m_count; }
    // The whole log is counted (until it grows).
    bool isCounted() const;

    // The first match at or after from, else the first from the start; -1
    // when there is none. Previous: the last match that starts before from,
    // else the last one in the log.
    qsizetype next(qsizetype from) const;
    qsizetype previous(qsizetype from) const;

    // After the log grew or was cleared.
    void logChanged();

    static constexpr qsizetype kSliceBytes = 1024 * 1024;
    static constexpr int kSliceMs = 4;

signals:
    void firstFound(qsizetype position);
    void countChanged(qsizetype count, bool counted);

private:
    // Calls found(position) for the matches that start in [from, to), in
    // order, reading the log a slice at a time, while found returns true and
    // for about maxBytes. Returns where a scan of what follows must start (a
    // character's start past the last match; at the log's end, one that
    // reads again the bytes a match still growing may start in); *covered
    // tells whether all of [from, to) was read.
    template<class Found>
    qsizetype scan(qsizetype from, qsizetype to, qsizetype maxBytes, Found found, bool *covered = nullptr) const;
    void work();

    const SessionLog &m_log;
    GbkFinder m_finder;
    QTimer m_timer;
    quint64 m_generation = 0;
    qsizetype m_origin = 0;
    qsizetype m_forward = 0;   // where counting goes on towards the log's end
    qsizetype m_forwardTo = -1; // the log's size when it last got there
    qsizetype m_wrapped = 0;   // where counting goes on from the start to m_origin
    qsizetype m_count = 0;
    bool m_firstTold = false;
};
