// What the window tells in its status bar as it is used: a port that is not
// open when something is sent, how a Send All run ended, a command under the
// end character NULL that got only its echo, and where the log on disk goes;
// and a Port list that shows its entries whole.
#include "app/simulatedport.h"
#include "dialogsupport.h"
#include "widgets/logview.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Rig : PtyDialog
{
    explicit Rig(bool start = true) : PtyDialog(start) {}
    QString Status() { return FindControl<QStatusBar>(d, "statusBar")->currentMessage(); }
    void EndChar(const char *radio) { FindControl<QRadioButton>(d, radio)->setChecked(true); }
    void Type(const QString &command) { FindControl<QLineEdit>(d, "commandEdit")->setText(command); }
    void Send() { FindControl<QPushButton>(d, "sendButton")->click(); }
    void SetRows(const QStringList &commands)
    {
        auto *list = FindControl<QTableWidget>(d, "commandList");
        list->setRowCount(0);
        for (const QString &c : commands) {
            FindControl<QPushButton>(d, "addButton")->click();
            list->item(list->rowCount() - 1, 1)->setText(c);
        }
    }
    void SendAll() { FindControl<QPushButton>(d, "sendAllButton")->click(); }
};

const QString kNotOpen = QStringLiteral("The port is not open: press Start");

} // namespace

class TestStatusHints : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        UseSimulatedModule();
    }

    // Send keeps what it did with a closed port (nothing goes) but says so;
    // Send All does not start a run that could send nothing.
    void sendingWithThePortClosed()
    {
        Rig r(false);
        r.EndChar("endCrRadio");
        r.Type("AT");
        r.Send();
        QCOMPARE(r.Status(), kNotOpen);
        FindControl<QStatusBar>(r.d, "statusBar")->clearMessage();
        r.SetRows({"AT", "ATI"});
        r.SendAll();
        QCOMPARE(r.Status(), kNotOpen);
        QVERIFY(!r.d.Session().sendAllActive());
        QVERIFY(FindControl<QPushButton>(r.d, "sendAllButton")->isEnabled());
        // Once open, the same commands go, and the bar does not say it.
        r.ClickStartStop();
        r.Send();
        QCOMPARE(r.pty.read(3, 1000), QByteArray("AT\r"));
        QVERIFY(r.Status() != kNotOpen);
    }

    // The end of a run tells the row it stopped at and why.
    void sendAllTellsWhereAndWhyItStopped()
    {
        Rig r;
        r.EndChar("endCrRadio");
        r.SetRows({"AT", "AT+CPIN?", "ATI"});
        r.SendAll();
        QCOMPARE(r.pty.read(3, 1000), QByteArray("AT\r"));
        r.pty.write("\r\nOK\r\n");
        QCOMPARE(r.pty.read(9, 1000), QByteArray("AT+CPIN?\r"));
        r.pty.write("\r\nERROR\r\n");
        QTRY_VERIFY(!r.d.Session().sendAllActive());
        QCOMPARE(r.Status(), QStringLiteral("Send All stopped at row 2 (AT+CPIN?): the module answered ERROR"));

        // No answer at all: the run's limit ends it, at its first row; under
        // NULL the bar says why that is likely.
        r.d.Session().setSendAllTiming(20, 300);
        r.EndChar("endNullRadio");
        r.SendAll();
        QCOMPARE(r.pty.read(2, 1000), QByteArray("AT"));
        QTRY_VERIFY(!r.d.Session().sendAllActive());
        QVERIFY2(r.Status().startsWith(QStringLiteral("Send All stopped at row 1 (AT): no OK within the run's "
                                                      "limit of 0.3 s")),
                 qPrintable(r.Status()));
        QVERIFY2(r.Status().contains(QStringLiteral("try CR")), qPrintable(r.Status()));

        // To the end of the list.
        r.d.Session().setSendAllTiming(20, 5000);
        r.EndChar("endCrRadio");
        r.SendAll();
        for (const QByteArray c : {"AT\r", "AT+CPIN?\r", "ATI\r"}) {
            QCOMPARE(r.pty.read(c.size(), 1000), c);
            r.pty.write("\r\nOK\r\n");
        }
        QTRY_VERIFY(!r.d.Session().sendAllActive());
        QCOMPARE(r.Status(), QStringLiteral("Send All ended: all 3 rows sent"));
    }

    // Under NULL a module that waits for the end of the line echoes the
    // command and nothing more: after a second the bar suggests CR. An
    // answer, or another end character, brings no hint.
    void onlyTheEchoUnderNull()
    {
        Rig r;
        r.EndChar("endNullRadio");
        r.Type("AT");
        r.Send();
        QCOMPARE(r.pty.read(2, 1000), QByteArray("AT"));
        r.pty.write("AT");
        QTRY_VERIFY_WITH_TIMEOUT(r.Status().startsWith(QStringLiteral("Only the echo of AT came back")), 3000);
        QVERIFY(r.Status().contains(QStringLiteral("Try CR")));

        FindControl<QStatusBar>(r.d, "statusBar")->clearMessage();
        r.Send();
        QCOMPARE(r.pty.read(2, 1000), QByteArray("AT"));
        r.pty.write("AT\r\r\nOK\r\n");
        QTest::qWait(TerminalSession::kEchoCheckMs + 300);
        QCOMPARE(r.Status(), QString());

        r.EndChar("endCrRadio");
        r.Send();
        QCOMPARE(r.pty.read(3, 1000), QByteArray("AT\r"));
        r.pty.write("AT\r");
        QTest::qWait(TerminalSession::kEchoCheckMs + 300);
        QCOMPARE(r.Status(), QString());
    }

    // The same with the simulated module, as a new user meets it.
    void onlyTheEchoFromTheSimulatedModule()
    {
        SessionLog log;
        TerminalDialog d(log);
        d.SelectPort(TerminalDialog::kSimulatedPortName);
        FindControl<QRadioButton>(d, "endNullRadio")->setChecked(true);
        FindControl<QPushButton>(d, "startStopButton")->click();
        QVERIFY(d.Session().isOpen());
        FindControl<QLineEdit>(d, "commandEdit")->setText("AT");
        FindControl<QPushButton>(d, "sendButton")->click();
        auto *bar = FindControl<QStatusBar>(d, "statusBar");
        QTRY_VERIFY_WITH_TIMEOUT(bar->currentMessage().startsWith(QStringLiteral("Only the echo of AT")), 3000);
        FindControl<QPushButton>(d, "startStopButton")->click();
    }

    // Log to Disk says where it writes: the item while on, the bar when a
    // file starts.
    void logToDiskSaysWhere()
    {
        Rig r(false);
        auto *view = FindControl<LogView>(r.d, "receiveView");
        const auto item = [&] {
            std::unique_ptr<QMenu> menu(view->createContextMenu());
            for (QAction *a : menu->actions())
                if (a->objectName() == QLatin1String("logToDiskAction"))
                    return a->text();
            return QString();
        };
        QCOMPARE(item(), QStringLiteral("Log to Disk…"));
        QTemporaryDir dir;
        r.d.setLogDirectory(dir.path());
        QCOMPARE(item(), QStringLiteral("Log to Disk: %1").arg(dir.path()));
        r.ClickStartStop();
        const QString file = r.d.Session().logFilePath();
        QVERIFY(file.startsWith(dir.path()));
        QCOMPARE(r.Status(), QStringLiteral("Log to Disk: writing to %1").arg(file));
        r.d.setLogDirectory(QString());
        QCOMPARE(item(), QStringLiteral("Log to Disk…"));
    }

    // The Port box keeps its size; its list shows every entry whole, with
    // and without ports of the system's.
    void portListShowsEntriesWhole()
    {
        const QString byId = QStringLiteral("/dev/serial/by-id/usb-Example_LTE_Module_0123456789ABCDEF-if02-port0");
        QStringList system;
        TerminalDialog::SetPortLister([&system] { return system; });
        SessionLog log;
        TerminalDialog d(log);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto *box = FindControl<QComboBox>(d, "portList");
        const int boxWidth = box->width();
        for (const QStringList &ports : {QStringList(), QStringList{byId}}) {
            system = ports;
            box->showPopup();
            QAbstractItemView *view = box->view();
            QTRY_VERIFY(view->isVisible());
            for (const QString &entry : QStringList{TerminalDialog::kSimulatedPortName} + ports) {
                const int row = box->findText(entry);
                QVERIFY(row >= 0);
                // As wide as the item asks for (text, margins): not elided.
                const int needed = view->sizeHintForIndex(view->model()->index(row, 0)).width();
                QVERIFY2(view->viewport()->width() >= needed, qPrintable(QStringLiteral("%1: %2 < %3")
                                                                             .arg(entry)
                                                                             .arg(view->viewport()->width())
                                                                             .arg(needed)));
            }
            box->hidePopup();
            QCOMPARE(box->width(), boxWidth);
        }
        TerminalDialog::SetPortLister([] { return QStringList(); });
    }
};

QTEST_MAIN(TestStatusHints)
#include "test_statushints.moc"
