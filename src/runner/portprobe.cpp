#include "runner/portprobe.h"

#include "serial/portholders.h"
#include "serial/serialsession.h"

#include <QEventLoop>
#include <QTimer>

QByteArray PortListLine(const ListedPort &port)
{
    return (port.identity.isEmpty() ? port.path : port.path + QStringLiteral("  ") + port.identity).toUtf8();
}

ProbeResult ProbePort(const SerialSettings &settings, int timeoutMs)
{
    ProbeResult result;
    const QString device = DevicePathForPort(settings.portName);
    // This program's own simulated module keeps its device open.
    const QList<PortHolder> holders = OtherHolders(PortHolders(device));
    if (!holders.isEmpty()) {
        result.answer = ProbeResult::Answer::InUse;
        result.detail = PortHoldersText(device, holders).section(u'\n', 0, 0);
        return result;
    }
    SerialSession session;
    const SerialSession::OpenResult opened = session.Open(settings);
    if (opened != SerialSession::OpenResult::Opened) {
        result.answer = ProbeResult::Answer::CannotOpen;
        result.detail = opened == SerialSession::OpenResult::SettingsRejected
            ? QStringLiteral("the device refused the line settings")
            : session.OpenFailure().Explanation();
        if (result.detail.isEmpty())
            result.detail = session.LastError();
        return result;
    }
    QEventLoop loop;
    QByteArray received;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    QObject::connect(&session, &SerialSession::DeviceLost, &loop, &QEventLoop::quit);
    QObject::connect(&session, &SerialSession::ReceiveReady, &loop, [&] {
        char buffer[512];
        for (qint64 n; (n = session.Read(buffer, sizeof buffer)) > 0;)
            received.append(buffer, n);
        // Whole lines only: the answer is the last line that ended.
        const QList<QByteArray> lines = received.left(received.lastIndexOf('\n') + 1).split('\n');
        for (const QByteArray &raw : lines) {
            const QByteArray line = raw.trimmed();
            if (line == "OK") {
                result.answer = ProbeResult::Answer::Ok;
            } else if (line == "ERROR" || line.startsWith("+CME ERROR") || line.startsWith("+CMS ERROR")) {
                result.answer = ProbeResult::Answer::Error;
                result.detail = QString::fromLatin1(line);
            } else {
                continue;
            }
            loop.quit();
            return;
        }
    });
    session.Write("AT\r", 3);
    loop.exec();
    if (result.answer == ProbeResult::Answer::Silent && !received.trimmed().isEmpty()) {
        result.answer = ProbeResult::Answer::Other;
        result.detail = QString::fromLatin1(received.trimmed().right(60)).replace(QLatin1Char('\r'), u' ')
                            .replace(QLatin1Char('\n'), u' ');
    }
    session.Close();
    return result;
}

QByteArray ProbeLine(const QString &port, const ProbeResult &result, const QString &identity)
{
    QString said;
    switch (result.answer) {
    case ProbeResult::Answer::Ok: said = QStringLiteral("OK"); break;
    case ProbeResult::Answer::Error: said = QStringLiteral("answers %1").arg(result.detail); break;
    case ProbeResult::Answer::Other: said = QStringLiteral("no AT answer (sent: %1)").arg(result.detail); break;
    case ProbeResult::Answer::Silent: said = QStringLiteral("no answer"); break;
    case ProbeResult::Answer::InUse: said = QStringLiteral("not probed: %1").arg(result.detail); break;
    case ProbeResult::Answer::CannotOpen: said = QStringLiteral("cannot open: %1").arg(result.detail); break;
    }
    QString line = port + QStringLiteral("  ") + said;
    if (!identity.isEmpty())
        line += QStringLiteral("  ") + identity;
    return line.toUtf8();
}
