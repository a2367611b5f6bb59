#pragma once

#include "serial/networktransport.h"
#include "serial/rfc2217codec.h"

// A serial port on another computer behind an RFC 2217 server (ser2net,
// labgrid's exported ports): "rfc2217://HOST:PORT". Telnet with the Com Port
// Control option, binary both ways; the line settings are set on the remote
// port when it opens and read back. A setting answered with another value is
// refused like a local device's. Answers that never come (a server in front
// of a port without modem lines does not confirm DTR and RTS) are waited for
// a bounded time; the open goes on and setupNote() says what was missing.
class Rfc2217Transport : public NetworkTransport
{
    Q_OBJECT
public:
    // How long the server may take to answer the option offers, and the
    // line settings.
    // (A server in front of a busy machine, or a sanitizer build, may take
    // more than a second or two.)
    static constexpr int kNegotiationMs = 5000;
    static constexpr int kSettingsMs = 3000;
    // And then the control lines (flow control off, RTS and DTR as asked).
    static constexpr int kControlsMs = 500;

    using NetworkTransport::NetworkTransport;

    QString setupNote() const override { return m_note; }
    void purge(Direction direction) override;
    void setDataTerminalReady(bool on) override;
    void setRequestToSend(bool on) override;
    // SET-CONTROL BREAK on, then off after ms.
    bool sendBreak(int ms) override;
    // From the server's NOTIFY-MODEMSTATE, asked for (every line and its
    // changes) once the port is set up.
    bool reportsModemLines() const override { return m_modemStateAsked; }
    ModemLines modemLines() const override { return m_lines; }

    const Rfc2217Codec &codec() const { return m_codec; }

protected:
    void startSession(const SerialSettings &settings, std::function<void(Started)> done) override;
    QByteArray decode(const QByteArray &fromServer) override;
    QByteArray encode(QByteArrayView data) override;

private:
    // The answers to the line settings, against what was asked.
    Started judgeSettings(const SerialSettings &settings);
    // Takes the server's modem state notices into m_lines, and tells.
    void takeModemState();
    bool comPortAgreed() const;

    Rfc2217Codec m_codec;
    bool m_heard = false; // the server sent anything at all
    QString m_note;
    bool m_modemStateAsked = false;
    ModemLines m_lines;
    quint64 m_breakGeneration = 0; // a break's end belongs to the open it began in
};
