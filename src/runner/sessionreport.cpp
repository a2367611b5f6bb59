#include "runner/sessionreport.h"

#include "runner/runreport.h"
#include "session/transactionlog.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray Compact(const QJsonObject &o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

Transaction TransactionOf(const TransactionLog::Row &row, const TransactionLog::Details &d, qint64 startMs, bool body)
{
    Transaction t;
    t.index = row.number;
    t.command = d.command;
    t.echo = d.echo;
    t.echoed = d.echoed;
    t.info = d.info;
    t.final = d.final;
    t.sentAtMs = row.atMs - startMs;
    t.elapsedMs = row.resultMs;
    t.body = body;
    if (d.final.code == AtFinalResult::Code::None) {
        t.outcome = Transaction::Outcome::Pending;
        t.why = row.ended ? QStringLiteral("no final result came before the next command or the close")
                          : QStringLiteral("still waiting for its final result");
    } else {
        t.outcome = d.final.Succeeded() ? Transaction::Outcome::Passed : Transaction::Outcome::Failed;
    }
    return t;
}

} // namespace

bool WriteSessionReport(QIODevice &out, TransactionLog &log, const SessionReportInfo &info, QString *error)
{
    log.CatchUp();
    const qsizetype count = log.count();
    TransactionLog::Row first;
    TransactionLog::Row last;
    const bool any = count > 0 && log.row(0, &first) && log.row(count - 1, &last);
    const qint64 startMs = any ? first.atMs : QDateTime::currentMSecsSinceEpoch();

    QJsonObject head;
    head.insert(QStringLiteral("session"), true);
    head.insert(QStringLiteral("setFile"), QString());
    head.insert(QStringLiteral("setName"), info.setName);
    head.insert(QStringLiteral("port"), info.port);
    head.insert(QStringLiteral("device"), info.device);
    head.insert(QStringLiteral("lineSettings"), info.lineSettings);
    head.insert(QStringLiteral("endChar"), info.endChar);
    head.insert(QStringLiteral("timeoutMs"), 0);
    head.insert(QStringLiteral("keepGoing"), true);
    head.insert(QStringLiteral("started"), QDateTime::fromMSecsSinceEpoch(startMs).toString(Qt::ISODateWithMs));
    head.insert(QStringLiteral("durationMs"), any ? last.atMs - startMs : 0);
    head.insert(QStringLiteral("outages"), QJsonArray());
    head.insert(QStringLiteral("stopReason"), QJsonValue());

    // The head's keys, then the two lists written row by row.
    QByteArray text = Compact(head);
    text.chop(1);
    bool ok = out.write(text + ",\n\"commands\": [") >= 0;
    int failed = 0;
    const auto fail = [&](qsizetype i) {
        *error = QStringLiteral("row %1 cannot be read back from the session's temporary files").arg(i + 1);
        return false;
    };
    for (int pass = 0; pass < 2 && ok; ++pass) {
        const bool commands = pass == 0;
        bool firstItem = true;
        bool afterPrompt = false;
        for (qsizetype i = 0; i < count && ok; ++i) {
            TransactionLog::Row row;
            if (!log.row(i, &row))
                return fail(i);
            if ((row.kind == TransactionLog::Kind::Command) != commands)
                continue;
            const TransactionLog::Details d = log.details(i);
            if (!d.complete)
                return fail(i);
            QJsonObject item;
            if (commands) {
                const Transaction t = TransactionOf(row, d, startMs, afterPrompt);
                afterPrompt = d.final.code == AtFinalResult::Code::Prompt;
                failed += t.outcome == Transaction::Outcome::Failed;
                item = TransactionJson(t, true);
            } else {
                item = UrcJson(UrcRecord { row.atMs - startMs, d.urc, row.number });
            }
            ok = out.write((firstItem ? "\n" : ",\n") + Compact(item)) >= 0;
            firstItem = false;
        }
        if (ok)
            ok = out.write(commands ? "\n],\n\"urcs\": [" : "\n],\n") >= 0;
    }
    if (ok)
        ok = out.write(QStringLiteral("\"exitStatus\": %1\n}\n").arg(failed ? 1 : 0).toUtf8()) >= 0;
    if (!ok)
        *error = out.errorString();
    return ok;
}
