#include "runner/runlinework.h"

#include "serial/serialsession.h"

RunLineWork::RunLineWork(SerialSession &session, QObject *parent)
    : QObject(parent)
    , m_session(session)
    , m_writer([this](const char *data, qint64 n) { return m_session.Write(data, n); },
               [this] { return m_session.BytesToWrite(); })
{
    m_step.setSingleShot(true);
    m_step.setTimerType(Qt::PreciseTimer);
    connect(&m_step, &QTimer::timeout, this, [this] {
        if (auto next = std::exchange(m_next, nullptr))
            next();
    });
    connect(&m_session, &SerialSession::AllWritten, &m_writer, &PacedWriter::portDrained);
    connect(&m_writer, &PacedWriter::finished, this, [this](qint64, qint64, bool complete) {
        if (auto done = std::exchange(m_written, nullptr))
            done(complete);
    });
}

void RunLineWork::Steps(int pulseMs, bool dtrOn, int breakMs, Then then)
{
    const auto breakStep = [this, breakMs, then] {
        if (breakMs <= 0) {
            then(true, QString());
            return;
        }
        if (!m_session.SendBreak(breakMs)) {
            then(false, QStringLiteral("the port cannot send a break"));
            return;
        }
        m_next = [then] { then(true, QString()); };
        m_step.start(breakMs);
    };
    if (pulseMs <= 0) {
        breakStep();
        return;
    }
    m_session.SetDtr(!dtrOn);
    m_next = [this, dtrOn, breakStep] {
        m_session.SetDtr(dtrOn);
        breakStep();
    };
    m_step.start(pulseMs);
}

void RunLineWork::Write(const QByteArray &bytes, PacedWriter::Pacing pacing, std::function<void(bool)> done)
{
    m_written = std::move(done);
    m_writer.enqueue(bytes, pacing);
}

void RunLineWork::Cancel()
{
    m_step.stop();
    m_next = nullptr;
    m_written = nullptr;
    m_writer.cancel();
}
