#include "shell/reachability.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

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

// Connects to one address, waiting at most `ms`; 0 or an errno value.
int ConnectWithin(const addrinfo *ai, int ms)
{
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p { fd, POLLOUT, 0 };
            int n;
            do
                n = ::poll(&p, 1, ms);
            while (n < 0 && errno == EINTR);
            if (n == 0) {
                error = ETIMEDOUT;
            } else {
                socklen_t length = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
        }
    }
    ::close(fd);
    return error;
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
    QElapsedTimer clock;
    clock.start();
    const QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    const QByteArray port = QByteArray::number(url.port(https ? 443 : 80));
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM; // every address, tried in turn
    addrinfo *found = nullptr;
    const int resolved = ::getaddrinfo(host.constData(), port.constData(), &hints, &found);
    if (resolved != 0) {
        *detail = QString::fromLocal8Bit(resolved == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(resolved));
        return NotResolved;
    }
    int error = ETIMEDOUT;
    for (const addrinfo *ai = found; ai; ai = ai->ai_next) {
        const int left = timeoutMs - int(clock.elapsed());
        if (left <= 0)
            break;
        error = ConnectWithin(ai, left);
        if (error == 0)
            break;
    }
    ::freeaddrinfo(found);
    if (error == 0)
        return Reachable;
    *detail = QString::fromLocal8Bit(std::strerror(error));
    return error == ETIMEDOUT ? TimedOut : NoAnswer;
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
