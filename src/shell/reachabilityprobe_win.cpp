#include "shell/reachabilityprobe.h"

#include <QElapsedTimer>

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

QString Words(int error)
{
    wchar_t *text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, DWORD(error), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    const QString words = text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(error);
    ::LocalFree(text);
    return words;
}

// Connects to one address, waiting at most `ms`; 0 or a WSA error.
int ConnectWithin(const addrinfo *ai, int ms)
{
    const SOCKET s = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET)
        return ::WSAGetLastError();
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    int error = 0;
    if (::connect(s, ai->ai_addr, int(ai->ai_addrlen)) != 0) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval limit { ms / 1000, (ms % 1000) * 1000 };
            const int n = ::select(0, nullptr, &writable, &failed, &limit);
            if (n == 0) {
                error = WSAETIMEDOUT;
            } else if (n < 0) {
                error = ::WSAGetLastError();
            } else {
                int length = sizeof error;
                if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length) != 0)
                    error = ::WSAGetLastError();
            }
        }
    }
    ::closesocket(s);
    return error;
}

} // namespace

ReachabilityCheck::Outcome ProbeHost(const QByteArray &host, const QByteArray &port, int timeoutMs, QString *detail)
{
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    Q_UNUSED(started);
    QElapsedTimer clock;
    clock.start();
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM; // every address, tried in turn
    addrinfo *found = nullptr;
    const int resolved = ::getaddrinfo(host.constData(), port.constData(), &hints, &found);
    if (resolved != 0) {
        *detail = Words(resolved);
        return ReachabilityCheck::NotResolved;
    }
    int error = WSAETIMEDOUT;
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
    *detail = Words(error);
    return error == WSAETIMEDOUT ? ReachabilityCheck::TimedOut : ReachabilityCheck::NoAnswer;
}
