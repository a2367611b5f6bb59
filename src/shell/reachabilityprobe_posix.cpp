#include "shell/reachabilityprobe.h"

#include <QElapsedTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

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

ReachabilityCheck::Outcome ProbeHost(const QByteArray &host, const QByteArray &port, int timeoutMs, QString *detail)
{
    QElapsedTimer clock;
    clock.start();
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM; // every address, tried in turn
    addrinfo *found = nullptr;
    const int resolved = ::getaddrinfo(host.constData(), port.constData(), &hints, &found);
    if (resolved != 0) {
        *detail = QString::fromLocal8Bit(resolved == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(resolved));
        return ReachabilityCheck::NotResolved;
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
        return ReachabilityCheck::Reachable;
    *detail = QString::fromLocal8Bit(std::strerror(error));
    return error == ETIMEDOUT ? ReachabilityCheck::TimedOut : ReachabilityCheck::NoAnswer;
}
