#include "serial/networktransport.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QUrl>
#include <utility>

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
    m_waitTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, [this] { checkWait(true); });
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
    beginOpen(settings);
    // The same steps, waited for here.
    RunEventsUntil([this] { return m_openDone; });
    return m_openResult;
}

void NetworkTransport::beginOpen(const SerialSettings &settings)
{
    close();
    m_lastError.clear();
    m_openFailure = {};
    m_received.clear();
    m_settings = settings;
    m_openDone = false;
    QString error;
    if (!NetworkPortAddress::Parse(m_name, &m_address, &error)) {
        fail(PortOpenFailure::Cause::Other, error);
        finishOpen(OpenResult::Failed);
        return;
    }
    auto *socket = new QTcpSocket(this);
    // Taken from the connection a bounded piece at a time, as a serial
    // driver hands it over: a flood that piled up while the window was busy
    // is not all handled in one turn of the event loop.
    socket->setReadBufferSize(kReadPieceBytes);
    m_socket = socket;
    m_opening = true;
    connect(socket, &QTcpSocket::readyRead, this, &NetworkTransport::onReadyRead);
    connect(socket, &QTcpSocket::stateChanged, this, [this] { checkWait(false); });
    socket->connectToHost(m_address.host, m_address.port);
    waitFor([this] { return connected(); }, kConnectTimeoutMs, [this] { connectionMade(); });
}

void NetworkTransport::connectionMade()
{
    const QString where = QStringLiteral("%1:%2").arg(m_address.host).arg(m_address.port);
    if (!connected()) {
        const QAbstractSocket::SocketError error = m_socket ? m_socket->error() : QAbstractSocket::UnknownSocketError;
        switch (error) {
        case QAbstractSocket::HostNotFoundError:
            fail(PortOpenFailure::Cause::Other, QStringLiteral("no host %1 is known").arg(m_address.host));
            break;
        case QAbstractSocket::ConnectionRefusedError:
            fail(PortOpenFailure::Cause::Other,
                 QStringLiteral("%1 refused the connection: is the server running, and is this its port?").arg(where));
            break;
        case QAbstractSocket::UnknownSocketError:
            fail(PortOpenFailure::Cause::Other,
                 QStringLiteral("%1 did not answer within %2 s").arg(where).arg(kConnectTimeoutMs / 1000));
            break;
        default:
            fail(PortOpenFailure::Cause::Other, QStringLiteral("%1: %2").arg(where, m_socket->errorString()));
        }
        finishOpen(OpenResult::Failed);
        return;
    }
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    startSession(m_settings, [this](Started started) { sessionStarted(started); });
}

void NetworkTransport::sessionStarted(const Started &started)
{
    if (!m_opening)
        return; // abandoned meanwhile
    if (!started.ok && started.rejected) {
        m_lastError = started.why;
        finishOpen(OpenResult::SettingsRejected);
        return;
    }
    if (!started.ok && connected()) {
        fail(PortOpenFailure::Cause::Other, started.why);
        finishOpen(OpenResult::Failed);
        return;
    }
    // A server that serves another client takes the connection and closes
    // it at once, often with a word why.
    waitFor([] { return false; }, connected() ? kClosedAtOnceMs : 0, [this] {
        if (!connected()) {
            const QString where = QStringLiteral("%1:%2").arg(m_address.host).arg(m_address.port);
            const QString words = QString::fromUtf8(m_received).trimmed();
            fail(PortOpenFailure::Cause::InUse,
                 words.isEmpty()
                     ? QStringLiteral("%1 closed the connection at once: it serves another client").arg(where)
                     : QStringLiteral("%1 closed the connection at once: %2").arg(where, words));
            finishOpen(OpenResult::Failed);
            return;
        }
        QTcpSocket *socket = m_socket;
        connect(socket, &QTcpSocket::disconnected, this, &NetworkTransport::onDisconnected);
        connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            if (error != QAbstractSocket::RemoteHostClosedError && m_socket)
                loseConnection(QStringLiteral("the connection broke: %1").arg(m_socket->errorString()));
        });
        connect(socket, &QTcpSocket::bytesWritten, this, &PortTransport::bytesWritten);
        m_batching.attach(socket);
        finishOpen(OpenResult::Opened);
    });
}

void NetworkTransport::finishOpen(OpenResult result)
{
    m_opening = false;
    m_openDone = true;
    m_openResult = result;
    if (result != OpenResult::Opened)
        close();
    // Told after beginOpen has returned, as the caller expects.
    QMetaObject::invokeMethod(
        this,
        [this, result] {
            emit openFinished(result);
            // What came with the set-up is announced like anything later.
            if (result == OpenResult::Opened && !m_received.isEmpty())
                emit readyRead();
        },
        Qt::QueuedConnection);
}

void NetworkTransport::waitFor(std::function<bool()> done, int ms, std::function<void()> then)
{
    m_waitDone = std::move(done);
    m_waitThen = std::move(then);
    m_waitTimer.start(std::max(ms, 0));
    // Looked at once the caller has returned: it may hold already.
    QMetaObject::invokeMethod(this, [this] { checkWait(false); }, Qt::QueuedConnection);
}

void NetworkTransport::checkWait(bool timedOut)
{
    if (!m_waitThen)
        return;
    const bool gone = !m_socket || m_socket->state() == QAbstractSocket::UnconnectedState;
    if (!timedOut && !gone && !m_waitDone())
        return;
    m_waitTimer.stop();
    m_waitDone = {};
    std::exchange(m_waitThen, {})();
}

void NetworkTransport::startSession(const SerialSettings &, std::function<void(Started)> done)
{
    done({});
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
    const QByteArray fromServer = m_socket->readAll();
    if (!m_opening)
        m_batching.took(fromServer.size());
    const QByteArray user = decode(fromServer);
    m_received += user;
    if (m_opening)
        checkWait(false);
    else if (!user.isEmpty())
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
    // An open under way ends here, untold.
    if (std::exchange(m_opening, false) && !m_openDone) {
        m_openDone = true;
        m_openResult = OpenResult::Failed;
    }
    m_waitTimer.stop();
    m_waitDone = {};
    m_waitThen = {};
    if (!m_socket)
        return;
    QTcpSocket *socket = m_socket;
    m_socket = nullptr;
    m_batching.attach(nullptr);
    disconnect(socket, nullptr, this, nullptr);
    socket->flush();
    socket->abort();
    // The socket may be in the middle of emitting a signal that led here.
    socket->deleteLater();
}

qint64 NetworkTransport::read(char *buffer, qint64 n)
{
    return TakeFront(m_received, buffer, n);
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
