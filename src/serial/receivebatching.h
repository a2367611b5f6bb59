#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QAbstractSocket;

// Fewer, larger reads from a connection while data streams in.
//
// A server such as ser2net passes a device's output on in small pieces (64
// bytes by default), each its own TCP segment, and each would wake the
// window's thread once: at a flood of 20 MB/s that is some 300,000 wake-ups
// a second, and the event loop's own cost per wake-up comes to more than
// the bytes' handling. While pieces follow each other closely, the socket
// is told to report data only once kLowWaterBytes wait (SO_RCVLOWAT), and
// after kBatchMs it is told to report any at all again, so what came is
// taken at the latest kBatchMs late. A reply to a single command arrives in
// one or two pieces and is never held. The end of the connection and errors
// are reported at once whatever the setting.
//
// Where the system has no such option the reads stay as they come.
class ReceiveBatching : public QObject
{
    Q_OBJECT
public:
    static constexpr int kLowWaterBytes = 16 * 1024;
    static constexpr int kBatchMs = 2;
    // Two reads closer than this, each smaller than kLowWaterBytes, are a
    // stream.
    static constexpr qint64 kStreamGapNs = 1000000;

    explicit ReceiveBatching(QObject *parent = nullptr);

    // The connection to batch (none: nullptr); starts unbatched.
    void attach(QAbstractSocket *socket);
    // Called after each read from the socket with how much it took.
    void took(qint64 bytes);
    bool batching() const { return m_lowWater > 1; }

private:
    void setLowWater(int bytes);

    QPointer<QAbstractSocket> m_socket;
    QTimer m_release;
    QElapsedTimer m_sinceRead;
    int m_lowWater = 1;
};
