#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <memory>

// Finds out, away from the window's thread, whether a web page can be
// reached: its host resolves and a server answers on the page's port (the
// TCP connection is accepted). Resolving a name can block for many seconds
// and cannot be cancelled, so it runs on a thread of its own that nobody
// waits for: the check gives up at its deadline and a late answer is dropped,
// as is every answer once the check is destroyed or started again.
class ReachabilityCheck : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Reachable, NotWebAddress, NotResolved, NoAnswer, TimedOut };
    Q_ENUM(Outcome)

    explicit ReachabilityCheck(QObject *parent = nullptr);
    ~ReachabilityCheck() override;

    // Starts a check of `url` (an http or https address); a check under way
    // is forgotten. `finished` follows, also for an address that is not one.
    void start(const QUrl &url, int timeoutMs = 4000);
    bool isRunning() const { return m_deadline.isActive(); }

    // The check itself, blocking: what the thread runs. `detail` gets the
    // resolver's or the connection's error.
    static Outcome Probe(const QUrl &url, int timeoutMs, QString *detail);

    // A sentence for the user: what the outcome means.
    static QString Describe(Outcome outcome, const QString &detail);

signals:
    void finished(ReachabilityCheck::Outcome outcome, const QString &detail);

private:
    struct Token;
    void Deliver(Outcome outcome, const QString &detail);

    std::shared_ptr<Token> m_token;
    QTimer m_deadline;
};
