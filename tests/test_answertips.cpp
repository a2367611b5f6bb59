// The receive view's decoded answers: off until asked for; then a reply
// line's tooltip says what it means (read with the command before it, a
// PDU with its header), a command line shows its syntax, and the view's
// accessible description carries the same text.
#include "session/sessionlog.h"
#include "widgets/answertips.h"
#include "widgets/logview.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QHelpEvent>
#include <QTest>
#include <QToolTip>

namespace {

// A conversation as a module's log holds it.
const QByteArray kLog = "AT+CSQ\r\r\n+CSQ: 17,99\r\n\r\nOK\r\n"
                        "AT+CEREG?\r\r\n+CEREG: 2,5,\"1A2B\",\"01C2D3E4\",7\r\n\r\nOK\r\n"
                        "AT+CMGR=1\r\r\n+CMGR: 0,,40\r\n"
                        "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37\r\n\r\nOK\r\n"
                        "AT+CPIN?\r\r\n+CME ERROR: 10\r\n"
                        "+CSQ: 140,99\r\n"
                        "hello\r\n";

qsizetype LineHolding(const LogView &view, const QByteArray &text)
{
    const qsizetype at = kLog.indexOf(text);
    if (at < 0)
        qFatal("no %s in the log", text.constData());
    return view.lineIndex().lineAt(at);
}

} // namespace

class TestAnswerTips : public QObject
{
    Q_OBJECT

    SessionLog m_log;
    LogView *m_view = nullptr;
    AnswerTips *m_tips = nullptr;

    // The tooltip the view shows when the mouse rests on a line's first
    // character.
    QString tipOn(const QByteArray &text)
    {
        QToolTip::hideText(); // it goes after a moment
        if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000))
            qFatal("the last tooltip stays");
        const qsizetype line = LineHolding(*m_view, text);
        m_view->scrollToRow(m_view->lineIndex().lineFirstRow(line));
        QPoint at;
        for (int y = 0; y < m_view->viewport()->height(); ++y) {
            if (m_view->lineIndex().lineAt(m_view->positionAt(QPoint(4, y))) == line) {
                at = QPoint(4, y + 2);
                break;
            }
        }
        QHelpEvent help(QEvent::ToolTip, at, m_view->viewport()->mapToGlobal(at));
        QApplication::sendEvent(m_view->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    }

private slots:
    void init()
    {
        m_log.Clear();
        m_log.Append(kLog);
        m_view = new LogView;
        m_view->setLog(&m_log);
        m_view->resize(700, 500);
        m_tips = new AnswerTips(m_view);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view));
    }
    void cleanup()
    {
        QToolTip::hideText();
        delete m_view;
    }

    void offUntilAskedFor()
    {
        QVERIFY(!m_tips->action()->isChecked());
        QVERIFY(tipOn("+CSQ: 17").isEmpty());
        QVERIFY(m_view->accessibleDescription().isEmpty());
    }

    // What each kind of line explains, with the command before it.
    void linesExplained()
    {
        m_tips->action()->setChecked(true);
        const QString csq = tipOn("+CSQ: 17");
        QVERIFY2(csq.contains(QLatin1String("-79 dBm")), qPrintable(csq));
        const QString cereg = m_tips->explainLine(LineHolding(*m_view, "+CEREG: 2"));
        QVERIFY2(cereg.contains(QLatin1String("6699")) && cereg.contains(QLatin1String("roaming")), qPrintable(cereg));
        // The PDU line, read with its +CMGR header.
        const QString pdu = m_tips->explainLine(LineHolding(*m_view, "0791728301"));
        QVERIFY2(pdu.contains(QLatin1String("hellohello")) && pdu.contains(QLatin1String("SMS-DELIVER")), qPrintable(pdu));
        const QString error = m_tips->explainLine(LineHolding(*m_view, "+CME ERROR"));
        QVERIFY2(error.contains(QLatin1String("SIM not inserted")), qPrintable(error));
        // A command line: the table's entry.
        const QString command = tipOn("AT+CEREG?");
        QVERIFY2(command.contains(QLatin1String("AT+CEREG")) && command.contains(QLatin1String("&lt;n&gt;")),
                 qPrintable(command));
        // Out of range: said, and not decoded as a value.
        const QString bad = m_tips->explainLine(LineHolding(*m_view, "+CSQ: 140"));
        QVERIFY2(bad.contains(QLatin1String("Not decoded")) && !bad.contains(QLatin1String("dBm")), qPrintable(bad));
        // Nothing known: no tip.
        QCOMPARE(m_tips->explainLine(LineHolding(*m_view, "hello")), QString());
        QVERIFY(tipOn("hello").isEmpty());
    }

    // Accessibility reads what the tooltip shows, and the cursor's line
    // after a keyboard move; turned off, nothing.
    void accessibleDescription()
    {
        m_tips->action()->setChecked(true);
        tipOn("+CSQ: 17");
        QAccessibleInterface *view = QAccessible::queryAccessibleInterface(m_view);
        QVERIFY(view);
        QCOMPARE(view->text(QAccessible::Description), m_tips->explainLine(LineHolding(*m_view, "+CSQ: 17")));
        const qsizetype at = kLog.indexOf("+CME ERROR");
        m_view->setSelection(at, at);
        QVERIFY2(view->text(QAccessible::Description).contains(QLatin1String("SIM not inserted")),
                 qPrintable(view->text(QAccessible::Description)));
        m_tips->action()->setChecked(false);
        QVERIFY(view->text(QAccessible::Description).isEmpty());
    }
};

QTEST_MAIN(TestAnswerTips)
#include "test_answertips.moc"
