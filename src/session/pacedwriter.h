#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

// Hands bytes to a port at a chosen pace, for modules and boot loaders that
// lose characters sent back to back: a pause after each character, and after
// each line end (LF, or a CR that no LF follows) the line's pause instead
// when one is set. Without pauses the bytes go in slices, each handed over
// once the port has taken the one before, so that progress can be shown and
// a cancel drops the rest at once. Jobs queue behind each other in order.
class PacedWriter : public QObject
{
    Q_OBJECT
public:
    struct Pacing
    {
        int charDelayMs = 0;
        int lineDelayMs = 0;
        bool paced() const { return charDelayMs > 0 || lineDelayMs > 0; }
    };
    // The largest pause either delay may be (an hour's worth would freeze a
    // send for good).
    static constexpr int kMaxDelayMs = 10000;
    // Without pauses, at most this much is handed to the port at a time.
    static constexpr qint64 kSliceBytes = 4096;

    // write hands bytes to the port and returns how many it took (0: the
    // port is gone); queued tells how many it still holds.
    using WriteFn = std::function<qint64(const char *, qint64)>;
    using QueuedFn = std::function<qint64()>;
    PacedWriter(WriteFn write, QueuedFn queued, QObject *parent = nullptr);

    // Queues bytes behind what is still to go, sent at pacing.
    void enqueue(const QByteArray &bytes, Pacing pacing);
    // Drops everything not yet handed over; finished(…, false) follows when
    // anything was going. Returns the bytes dropped.
    qint64 cancel();
    bool busy() const { return !m_jobs.empty(); }
    // Since the writer was last idle: bytes handed over, and all it was given.
    qint64 handed() const { return m_handed; }
    qint64 total() const { return m_total; }
    // The pauses that sending bytes alone at pacing takes (the last byte's
    // included, an upper bound).
    static qint64 PausesMs(const QByteArray &bytes, Pacing pacing);

    // The port has taken what it held (its "all written"): the next slice
    // may go.
    void portDrained();

signals:
    void progress(qint64 handed, qint64 total);
    // Everything given since idle went (complete), or the rest was dropped
    // (cancel, a port that took nothing).
    void finished(qint64 handed, qint64 total, bool complete);

private:
    struct Job
    {
        QByteArray bytes;
        Pacing pacing;
        qsizetype next = 0;
    };
    void step();
    void finish(bool complete);
    // Whether bytes[i] ends a line.
    static bool endsLine(const QByteArray &bytes, qsizetype i);

    WriteFn m_write;
    QueuedFn m_queued;
    std::deque<Job> m_jobs;
    QTimer m_timer;
    qint64 m_handed = 0;
    qint64 m_total = 0;
};
