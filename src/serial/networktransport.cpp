#include "serial/networktransport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QUrl>

namespace {

const QLatin1String kRawScheme("socket://");
const QLatin1String kRfc2217Scheme("rfc2217://");

// A server that closes a connection it just took serves someone else (or
// nobody); that shows within this time.
constexpr int kClosedAtOnceMs = 150;

} // namespace

bool NetworkPortAddress::IsNetworkName(const QString &name)
{
    return name.startsWith(kRawScheme, Qt::CaseInsensitive) || name.startsWith(kRfc2217Scheme, Qt::CaseInsensitive);
}

bool NetworkPortAddress::Parse(const QString &name, NetworkPortAddress *address, QString *error)
{
    const auto failWith = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    const bool raw = name.startsWith(kRawScheme, Qt::CaseInsensitive);
    if (!raw && !name.startsWith(kRfc2217Scheme, Qt::CaseInsensitive))
        return failWith(QStringLiteral("not a network port: use socket://HOST:PORT or rfc2217://HOST:PORT"));
    const QUrl url(name.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return failWith(QStringLiteral("the address does not parse: write it as %1HOST:PORT")
                            .arg(raw ? kRawScheme : kRfc2217Scheme));
    if (url.port() <= 0)
        return failWith(QStringLiteral("the address has no port number (1 to 65535): write it as %1HOST:PORT")
                            .arg(raw ? kRawScheme : kRfc2217Scheme));
    if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        return failWith(QStringLiteral("the address has a path (%1); write it as %2HOST:PORT")
                            .arg(url.path(), raw ? kRawScheme : kRfc2217Scheme));
    if (!url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment())
        return failWith(QStringLiteral("the address has more than a host and a port; write it as %1HOST:PORT")
                            .arg(raw ? kRawScheme : kRfc2217Scheme));
    address->kind = raw ? Kind::RawTcp : Kind::Rfc2217;
    address->host = url.host();
    address->port = quint16(url.port());
    return true;
}

NetworkTransport::NetworkTransport(const QString &name, QObject *parent)
    : PortTransport(parent)
    , m_name(name.trimmed())
{
}

NetworkTransport::~NetworkTransport()
{
    close();
}

void NetworkTransport::fail(PortOpenFailure::Cause cause, const QString &text)
{
    m_lastError = text;
    m_openFailure.cause = cause;
    m_openFailure.devicePath = m_name;
    m_openFailure.systemText = text;
}

PortTransport::OpenResult NetworkTransport::open(const SerialSettings &settings)
{
    close();
    m_lastError.clear();
    m_openFailure = {};
    m_received.clear();
    QString error;
    if (!NetworkPortAddress::Parse(m_name, &m_address, &error)) {
        fail(PortOpenFailure::Cause::Other, error);
        return OpenResult::Failed;
    }
    auto *socket = new QTcpSocket(this);
    m_socket = socket;
    m_opening = true;
    connect(socket, &QTcpSocket::readyRead, this, &NetworkTransport::onReadyRead);
    socket->connectToHost(m_address.host, m_address.port);
    const QString where = QStringLiteral("%1:%2").arg(m_address.host).arg(m_address.port);
    if (!waitUntil([socket] { return socket->state() == QAbstractSocket::ConnectedState; }, kConnectTimeoutMs)) {
        switch (socket->error()) {
        case QAbstractSocket::HostNotFoundError:
            fail(PortOpenFailure::Cause::Other, QStringLiteral("no host %1 is known").arg(m_address.host));
            break;
        case QAbstractSocket::ConnectionRefusedError:
            fail(PortOpenFailure::Cause::Other,
                 QStringLiteral("%1 refused the connection: is the server running, and is this its port?").arg(where));
            break;
        default:
            fail(PortOpenFailure::Cause::Other,
                 socket->state() == QAbstractSocket::ConnectedState || socket->error() == QAbstractSocket::UnknownSocketError
                     ? QStringLiteral("%1 did not answer within %2 s").arg(where).arg(kConnectTimeoutMs / 1000)
                     : QStringLiteral("%1: %2").arg(where, socket->errorString()));
        }
        close();
        return OpenResult::Failed;
    }
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    bool rejected = false;
    QString why;
    const bool started = startSession(settings, &rejected, &why);
    if (!started && rejected) {
        m_lastError = why;
        close();
        return OpenResult::SettingsRejected;
    }
    const bool connected = m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
    if (!started && connected) {
        fail(PortOpenFailure::Cause::Other, why);
        close();
        return OpenResult::Failed;
    }
    // A server that serves another client takes the connection and closes
    // it at once, often with a word why.
    if (connected)
        waitUntil([] { return false; }, kClosedAtOnceMs);
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
        const QString words = QString::fromUtf8(m_received).trimmed();
        fail(PortOpenFailure::Cause::InUse,
             words.isEmpty() ? QStringLiteral("%1 closed the connection at once: it serves another client").arg(where)
                             : QStringLiteral("%1 closed the connection at once: %2").arg(where, words));
        close();
        return OpenResult::Failed;
    }
    m_opening = false;
    connect(socket, &QTcpSocket::disconnected, this, &NetworkTransport::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError && m_socket)
            loseConnection(QStringLiteral("the connection broke: %1").arg(m_socket->errorString()));
    });
    connect(socket, &QTcpSocket::bytesWritten, this, &PortTransport::bytesWritten);
    // What came with the set-up is announced like anything later.
    if (!m_received.isEmpty())
        QMetaObject::invokeMethod(
            this, [this] {
                if (!m_received.isEmpty())
                    emit readyRead();
            },
            Qt::QueuedConnection);
    return OpenResult::Opened;
}

bool NetworkTransport::waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (!m_socket || m_socket->state() == QAbstractSocket::UnconnectedState)
            return false;
        const qint64 left = ms - clock.elapsed();
        if (left <= 0)
            return false;
        // The window repaints meanwhile; what the user does waits.
        QEventLoop loop;
        QTimer::singleShot(int(std::min<qint64>(left, 50)), Qt::PreciseTimer, &loop, &QEventLoop::quit);
        connect(m_socket, &QTcpSocket::stateChanged, &loop, &QEventLoop::quit);
        connect(m_socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    return true;
}

bool NetworkTransport::startSession(const SerialSettings &, bool *, QString *)
{
    return true;
}

QString NetworkTransport::setupNote() const
{
    return QStringLiteral("%1 is raw TCP: the line settings are the server's, not the window's").arg(m_name);
}

QByteArray NetworkTransport::decode(const QByteArray &fromServer)
{
    return fromServer;
}

QByteArray NetworkTransport::encode(QByteArrayView data)
{
    return data.toByteArray();
}

void NetworkTransport::sendRaw(const QByteArray &bytes)
{
    if (m_socket && !bytes.isEmpty())
        m_socket->write(bytes);
}

void NetworkTransport::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray user = decode(m_socket->readAll());
    if (user.isEmpty())
        return;
    m_received += user;
    if (!m_opening)
        emit readyRead();
}

void NetworkTransport::onDisconnected()
{
    loseConnection(QStringLiteral("the server closed the connection"));
}

void NetworkTransport::loseConnection(const QString &reason)
{
    if (!m_socket)
        return;
    // What arrived before the connection went is read first.
    onReadyRead();
    if (!m_socket)
        return; // the reader closed it
    close();
    emit lost(reason);
}

void NetworkTransport::close()
{
    m_opening = false;
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    disconnect(socket, nullptr, this, nullptr);
    socket->flush();
    socket->abort();
    // The socket may be in the middle of emitting a signal that led here.
    socket->deleteLater();
}

qint64 NetworkTransport::read(char *buffer, qint64 n)
{
    const qint64 take = std::min<qint64>(std::max<qint64>(n, 0), m_received.size());
    if (take == 0)
        return 0;
    memcpy(buffer, m_received.constData(), size_t(take));
    m_received.remove(0, take);
    return take;
}

qint64 NetworkTransport::write(const char *data, qint64 n)
{
    if (!m_socket || n <= 0 || m_socket->state() != QAbstractSocket::ConnectedState)
        return 0;
    return m_socket->write(encode(QByteArrayView(data, n))) > 0 ? n : 0;
}

qint64 NetworkTransport::bytesToWrite() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}

qint64 NetworkTransport::queuedBelow() const
{
    return 0;
}

bool NetworkTransport::waitForBytesWritten(int ms)
{
    return m_socket && m_socket->waitForBytesWritten(ms);
}

bool NetworkTransport::failedForGood() const
{
    return !m_socket || m_socket->state() != QAbstractSocket::ConnectedState;
}

void NetworkTransport::purge(Direction direction)
{
    if (!m_socket)
        return;
    // Received: what waits here and in the socket. What was handed to the
    // connection cannot be taken back; the server's side is the protocol's.
    if (direction != Direction::Output) {
        decode(m_socket->readAll());
        m_received.clear();
    }
}
