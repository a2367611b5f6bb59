#include "shell/reachability.h"

#include "shell/reachabilityprobe.h"

#include <QCoreApplication>
#include <QPointer>

#include <mutex>
#include <thread>

struct ReachabilityCheck::Token
{
    QPointer<ReachabilityCheck> check; // read and written on the window's thread only
};

namespace {

// The threads post their answers to the application object; once it is being
// destroyed they post nothing. Both live for the whole process (a thread may
// still run while static objects are destroyed).
std::mutex &AppLock()
{
    static auto *lock = new std::mutex;
    return *lock;
}
bool s_appGone = false;

void MarkAppGone()
{
    std::lock_guard<std::mutex> guard(AppLock());
    s_appGone = true;
}

} // namespace

ReachabilityCheck::ReachabilityCheck(QObject *parent) : QObject(parent)
{
    static const bool registered = [] {
        qAddPostRoutine(MarkAppGone);
        return true;
    }();
    Q_UNUSED(registered);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] { Deliver(TimedOut, QString()); });
}

ReachabilityCheck::~ReachabilityCheck()
{
    if (m_token)
        m_token->check = nullptr;
}

void ReachabilityCheck::start(const QUrl &url, int timeoutMs)
{
    if (m_token)
        m_token->check = nullptr;
    m_token = std::make_shared<Token>();
    m_token->check = this;
    m_deadline.start(timeoutMs);
    std::thread([token = m_token, url, timeoutMs] {
        QString detail;
        const Outcome outcome = Probe(url, timeoutMs, &detail);
        std::lock_guard<std::mutex> guard(AppLock());
        if (s_appGone || !QCoreApplication::instance())
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [token, outcome, detail] {
                if (token->check)
                    token->check->Deliver(outcome, detail);
            },
            Qt::QueuedConnection);
    }).detach();
}

void ReachabilityCheck::Deliver(Outcome outcome, const QString &detail)
{
    if (m_token)
        m_token->check = nullptr;
    m_token.reset();
    m_deadline.stop();
    emit finished(outcome, detail);
}

ReachabilityCheck::Outcome ReachabilityCheck::Probe(const QUrl &url, int timeoutMs, QString *detail)
{
    const QString scheme = url.scheme().toLower();
    const bool https = scheme == QLatin1String("https");
    if ((!https && scheme != QLatin1String("http")) || url.host().isEmpty())
        return NotWebAddress;
    const QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    const QByteArray port = QByteArray::number(url.port(https ? 443 : 80));
    return ProbeHost(host, port, timeoutMs, detail);
}

QString ReachabilityCheck::Describe(Outcome outcome, const QString &detail)
{
    const QString why = detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail);
    switch (outcome) {
    case Reachable:
        return QStringLiteral("The page can be reached.");
    case NotWebAddress:
        return QStringLiteral("The address is not a web page's (http or https).");
    case NotResolved:
        return QStringLiteral("This computer cannot find the page's host%1: it may be offline.").arg(why);
    case NoAnswer:
        return QStringLiteral("The page's host does not answer%1.").arg(why);
    case TimedOut:
        return QStringLiteral("The page's host did not answer within a few seconds.");
    }
    return QString();
}
