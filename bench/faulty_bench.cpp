// faulty_bench: qrvterm-run against the worst case of each faulty module,
// played on ptys: how long each run took, against the bound its options
// imply (the report's boundMs), and how it ended.
//
//   faulty_bench [scenario...]
//
// Scenarios: never-reads, stops-reading, drops-before-ok, boot-loop,
// chatter, late-answers, silent. All when none is named.
#include "faultymodule.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

struct Scenario
{
    const char *name;
    const char *what;
    QList<QByteArray> set;
    QStringList options;
    std::function<void(FaultyModule &, const QByteArray &, int)> onLine;
    std::function<void(FaultyModule &)> setUp;
};

void Ok(FaultyModule &m, const QByteArray &line)
{
    m.Answer(line, "\r\nOK\r\n");
}

QList<Scenario> Scenarios()
{
    QList<Scenario> all;
    QList<QByteArray> kilobytes;
    for (int i = 0; i < 30; ++i)
        kilobytes << "AT+QNOTE=" + QByteArray(1024, char('A' + i % 26));
    kilobytes << "AT+QBIG=" + QByteArray(20 * 1024, 'x');
    all.append({"never-reads", "30 commands of 1 KB and one of 20 KB to a module that never reads", kilobytes,
                {"--timeout", "3", "--keep-going"}, [](FaultyModule &, const QByteArray &, int) {},
                [](FaultyModule &m) { m.StopReading(); }});
    all.append({"stops-reading", "answers 2 commands, then stops reading in the middle of a 30 KB one",
                {"AT", "ATI", "AT+QLONG=" + QByteArray(30000, 'y'), "AT+CSQ", "AT+CGSN"},
                {"--timeout", "3", "--keep-going"},
                [](FaultyModule &m, const QByteArray &line, int) {
                    Ok(m, line);
                    if (m.heard.size() == 2)
                        m.StopReading();
                },
                nullptr});
    all.append({"drops-before-ok", "drops its line before the OK of every AT+CFUN=1,1, back after 0.3 s",
                {"AT", "AT+CFUN=1,1", "ATI", "AT+CFUN=1,1", "AT+CSQ"}, {"--timeout", "3", "--reconnect", "5"},
                [](FaultyModule &m, const QByteArray &line, int) {
                    if (line == "AT+CFUN=1,1") {
                        m.Send(line + "\r");
                        m.Drop(300);
                    } else {
                        Ok(m, line);
                    }
                },
                nullptr});
    all.append({"boot-loop", "up 2 s, down 0.3 s, for ever, answering nothing (--keep-going)",
                {"ATI", "AT+CSQ", "AT+CGSN", "AT+CCID"}, {"--timeout", "3", "--reconnect", "5", "--keep-going"},
                [](FaultyModule &, const QByteArray &, int) {}, [](FaultyModule &m) { m.BootLoop(2000, 300); }});
    all.append({"chatter", "after its reset, +CREG: 1 every 0.5 s without end",
                {"AT+CFUN=1,1", "ATI", "AT+CSQ", "AT+CGSN"}, {"--timeout", "3", "--reconnect", "5"},
                [](FaultyModule &m, const QByteArray &line, int) {
                    Ok(m, line);
                    if (line == "AT+CFUN=1,1")
                        QTimer::singleShot(50, &m, [&m] {
                            m.Drop(300);
                            m.Chatter("\r\n+CREG: 1\r\n", 500);
                        });
                },
                nullptr});
    all.append({"late-answers", "answers every command 4 s late (time-out 3 s), one at a time",
                {"AT+CGSN", "AT+CPIN?", "ATI", "AT+CSQ"}, {"--timeout", "3", "--keep-going"},
                [](FaultyModule &m, const QByteArray &line, int) { m.Answer(line, "\r\nOK\r\n", 4000); }, nullptr});
    all.append({"silent", "reads everything and answers nothing", {"AT", "ATI", "AT+CSQ", "AT+CGSN"},
                {"--timeout", "3", "--keep-going"}, [](FaultyModule &, const QByteArray &, int) {}, nullptr});
    return all;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList wanted = app.arguments().mid(1);
    const QString runner = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../src/qrvterm-run"));
    QTemporaryDir dir;
    std::printf("%-16s %8s %8s %6s %5s  %s\n", "module", "wall s", "bound s", "share", "exit", "commands");
    int n = 0;
    for (const Scenario &s : Scenarios()) {
        if (!wanted.isEmpty() && !wanted.contains(QLatin1String(s.name)))
            continue;
        ++n;
        const QString setPath = dir.filePath(QStringLiteral("set%1.ini").arg(n));
        QFile set(setPath);
        if (!set.open(QIODevice::WriteOnly))
            return 1;
        set.write(QStringLiteral("[set%1]\r\ncmdnum=%2\r\n").arg(n).arg(s.set.size()).toLatin1());
        for (int i = 0; i < s.set.size(); ++i)
            set.write("cmd" + QByteArray::number(i + 1) + '=' + s.set.at(i) + "\r\n");
        set.close();
        FaultyModule module(dir.filePath(QStringLiteral("module%1").arg(n)), s.onLine);
        if (s.setUp)
            s.setUp(module);
        const QString json = dir.filePath(QStringLiteral("r%1.json").arg(n));
        QProcess process;
        QElapsedTimer clock;
        clock.start();
        process.start(runner, QStringList {QStringLiteral("--port"), module.link(), QStringLiteral("--speed"),
                                           QStringLiteral("115200"), QStringLiteral("--json"), json}
                                  + s.options + QStringList {setPath});
        process.waitForStarted();
        // Killed after ten minutes: a run that gets there is the fault.
        while (process.state() != QProcess::NotRunning && clock.elapsed() < 600000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            process.waitForFinished(5);
        }
        const qint64 wall = clock.elapsed();
        const bool ended = process.state() == QProcess::NotRunning;
        if (!ended) {
            process.kill();
            process.waitForFinished();
        }
        QFile file(json);
        file.open(QIODevice::ReadOnly);
        const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
        QMap<QString, int> outcomes;
        for (const QJsonValue &c : report.value(QStringLiteral("commands")).toArray())
            ++outcomes[c.toObject().value(QStringLiteral("outcome")).toString()];
        QStringList told;
        for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
            told << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
        const QJsonArray outages = report.value(QStringLiteral("outages")).toArray();
        if (!outages.isEmpty())
            told << QStringLiteral("%1 outages").arg(outages.size());
        const double bound = report.value(QStringLiteral("boundMs")).toDouble() / 1000.0;
        std::printf("%-16s %8.1f %8.1f %5.0f%% %5s  %s\n", s.name, double(wall) / 1000.0, bound,
                    bound > 0 ? 100.0 * double(wall) / 1000.0 / bound : 0.0,
                    ended ? qPrintable(QString::number(process.exitCode())) : "KILLED", qPrintable(told.join(", ")));
        std::printf("%-16s %s\n", "", s.what);
        std::fflush(stdout);
    }
    return 0;
}
