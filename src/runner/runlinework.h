#pragma once

#include "session/pacedwriter.h"

#include <QObject>
#include <QTimer>

#include <functional>

class SerialSession;

// What a run does on the line besides writing frames whole: a DTR pulse and
// a break before a row (or before the first, to power a module on), and a
// frame written at a pace. Each step runs on a timer of its own length, so
// the run bounds it by the times it was given (StepsMs, PacedWriter::
// PausesMs).
class RunLineWork : public QObject
{
    Q_OBJECT
public:
    explicit RunLineWork(SerialSession &session, QObject *parent = nullptr);

    // DTR turned over from dtrOn for pulseMs and back, then a break of
    // breakMs (0: none of either); then(ok, why) follows, ok false when the
    // port could not send the break.
    using Then = std::function<void(bool ok, const QString &why)>;
    void Steps(int pulseMs, bool dtrOn, int breakMs, Then then);
    static qint64 StepsMs(int pulseMs, int breakMs) { return qint64(pulseMs) + breakMs; }

    // Writes bytes at pacing; done(complete) follows once all were handed
    // to the port (complete) or the port took no more.
    void Write(const QByteArray &bytes, PacedWriter::Pacing pacing, std::function<void(bool complete)> done);
    bool Writing() const { return m_writer.busy(); }

    // Drops a step or a write under way: nothing follows.
    void Cancel();

private:
    SerialSession &m_session;
    PacedWriter m_writer;
    QTimer m_step;
    std::function<void()> m_next;
    std::function<void(bool)> m_written;
};
