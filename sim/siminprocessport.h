#pragma once

#include "simengine.h"
#include "simmodule.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// The terminal's end of an in-process line to a simulated module.
class SimTerminalEnd
{
public:
    // Module output whose time on the line has come.
    virtual void deliver(const QByteArray &bytes) = 0;
    // Everything delivered has been read.
    virtual bool allRead() const = 0;
    // The line dropped (the module restarts, or goes): the terminal is no
    // longer attached.
    virtual void hangUp(const QString &reason) = 0;
    // The module's status lines as they are now.
    virtual void statusLines(bool ringIndicator, bool carrier)
    {
        Q_UNUSED(ringIndicator);
        Q_UNUSED(carrier);
    }

protected:
    ~SimTerminalEnd() = default;
};

// Serves a SimulatedModule to a terminal in the same program, with no device
// in between: what the module does on its line is SimEngine's, as on a
// pseudo-terminal (SimPort), and the terminal attaches to the port by its
// name. One terminal at a time.
//
// Each port has a name of its own among the ports of the program: the name
// asked for, or, while another port has it, that name with "#2", "#3", ...
class SimInProcessPort : public QObject, private SimLine
{
    Q_OBJECT

public:
    explicit SimInProcessPort(const QString &name, QObject *parent = nullptr);
    ~SimInProcessPort() override;

    // The port of this program with that name, else null.
    static SimInProcessPort *find(const QString &name);
    QString name() const { return m_name; }

    // Starts serving (at once, also while a reset has the line down: the
    // module is back then). stop() drops the line.
    void start();
    void stop();
    bool isRunning() const { return m_running; }

    void setLineRate(int baud) { m_engine->setLineRate(baud); }
    int lineRate() const { return m_engine->lineRate(); }
    void setReplyDelay(int ms) { m_engine->setReplyDelay(ms); }
    int replyDelay() const { return m_engine->replyDelay(); }
    SimulatedModule &module() { return m_engine->module(); }
    // As SimPort::powerOn(): the module as at its first start, nothing of
    // before carried over; an attached terminal stays attached.
    void powerOn() { m_engine->powerOn(); }
    void sendUnsolicited(const QByteArray &bytes) { m_engine->sendUnsolicited(bytes); }
    bool ringIndicator() const { return m_engine->ringIndicator(); }
    bool carrier() const { return m_engine->carrier(); }
    // The terminal's DTR (a drop ends a data call).
    void setTerminalReady(bool on) { m_engine->setTerminalReady(on); }

    // A reset, as AT+CFUN=1,1 asks for once its OK has been read: the
    // terminal is hung up, the port takes none for downMs, and the module
    // says its boot messages bootMs after the first terminal attaches again.
    void reset();
    void setResetTiming(int downMs, int bootMs) { m_engine->setResetTiming(downMs, bootMs); }

    // The terminal's side: attach, false with *error set when the port is
    // not running, its line is down or another terminal has it.
    bool attach(SimTerminalEnd *terminal, QString *error = nullptr);
    void detach(SimTerminalEnd *terminal);
    bool hasTerminal() const { return m_terminal != nullptr; }
    // Bytes the attached terminal sends.
    void fromTerminal(const QByteArray &bytes);

signals:
    // Bytes from the terminal, and bytes to it.
    void received(const QByteArray &bytes);
    void sent(const QByteArray &bytes);
    // A reset dropped the line; the module is back and takes a terminal.
    void lineDropped();
    void back();

private:
    void hangUp(const QString &reason);

    bool lineUp() const override { return m_running; }
    void lineWrite(const QByteArray &bytes) override;
    bool lineDrained() const override;
    void lineReset() override { reset(); }
    void lineStatusChanged() override;

    QString m_name;
    SimEngine *m_engine;
    SimTerminalEnd *m_terminal = nullptr;
    bool m_running = false;
    bool m_down = false;          // a reset has the line down
    quint64 m_downs = 0;          // counts the resets: the last one owns the comeback
    bool m_bootDue = false;       // back from a reset, no terminal attached since
    quint64 m_bootGeneration = 0; // the engine's generation at that reset
};
