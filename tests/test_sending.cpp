// Sending commands, the receive path into the log, saving the log, and a
// conversation with the simulated module — all through the main window.
#include "session/transactionlog.h"
#include "widgets/transactionsmodel.h"
#include "widgets/transactionspane.h"
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include "messageboxcatcher.h"
#include "app/simulatedport.h"
#include "dialogsupport.h"
#include "widgets/editablelistctrl.h"
#include "widgets/logview.h"
#include "widgets/inplaceeditors.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <unistd.h>

class TestSending : public QObject
{
    Q_OBJECT

    template <typename T> static T *Find(QWidget &w, const char *name) { return FindControl<T>(w, name); }
    static const char *RadioName(int endChar)
    {
        static const char *names[] = { "endNullRadio", "endCrRadio",  "endLfRadio",
                                       "endCrLfRadio", "endSubRadio", "endCustomRadio" };
        return names[endChar];
    }
    // A window whose port is open on a fresh pty.
    struct Rig : PtyDialog
    {
        explicit Rig(bool start = true) : PtyDialog(start) {}
        void Choose(int endChar, const QString &custom = QString())
        {
            Find<QRadioButton>(d, RadioName(endChar))->setChecked(true);
            Find<QLineEdit>(d, "customEndEdit")->setText(custom);
        }
        QByteArray Send(const QString &command, int expected)
        {
            Find<QLineEdit>(d, "commandEdit")->setText(command);
            Find<QPushButton>(d, "sendButton")->click();
            QByteArray got = pty.read(expected, 1000);
            got += pty.readFor(50); // nothing more may follow
            return got;
        }
    };

private slots:
    void initTestCase()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        UseSimulatedModule();
    }

    void endCharactersOnTheWire_data()
    {
        QTest::addColumn<int>("endChar");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("custom");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QByteArray>("logged");
        QTest::newRow("NULL") << 0 << "AT" << "" << QByteArray("AT") << QByteArray();
        QTest::newRow("CR") << 1 << "AT" << "" << QByteArray("AT\r") << QByteArray();
        QTest::newRow("LF") << 2 << "AT" << "" << QByteArray("AT\n") << QByteArray();
        QTest::newRow("CR LF") << 3 << "AT" << "" << QByteArray("AT\r\n") << QByteArray();
        QTest::newRow("SUB") << 4 << "hello" << "" << QByteArray("hello\x1A") << QByteArray("hello\x1A");
        QTest::newRow("0d 0a") << 5 << "AT" << "0d 0a" << QByteArray("AT\r\n") << QByteArray("AT\r\n");
        QTest::newRow("1A") << 5 << "AT" << "1A" << QByteArray("AT\x1A") << QByteArray("AT\x1A");
        QTest::newRow("odd 0D0") << 5 << "AT" << "0D0" << QByteArray("AT") << QByteArray("AT");
        QTest::newRow("0x1A") << 5 << "AT" << "0x1A" << QByteArray("AT\0\x1A", 4) << QByteArray("AT");
        QTest::newRow("G1") << 5 << "AT" << "G1" << QByteArray("AT\x01") << QByteArray("AT\x01");
        QTest::newRow("empty custom") << 5 << "AT" << "" << QByteArray("AT") << QByteArray("AT");
        QTest::newRow("GBK text") << 1 << "AT+中文" << "" << QByteArray("AT+\xD6\xD0\xCE\xC4\r") << QByteArray();
    }

    void endCharactersOnTheWire()
    {
        QFETCH(int, endChar);
        QFETCH(QString, command);
        QFETCH(QString, custom);
        QFETCH(QByteArray, wire);
        QFETCH(QByteArray, logged);
        Rig r;
        r.Choose(endChar, custom);
        QCOMPARE(r.Send(command, int(wire.size())), wire);
        QCOMPARE(r.log.Text(), logged);
    }

    void longCommandGoesOutWhole()
    {
        Rig r;
        r.Choose(1);
        const QString command = QStringLiteral("AT+") + QString(2000, QLatin1Char('X'));
        const QByteArray expected = command.toLatin1() + '\r';
        QCOMPARE(r.Send(command, int(expected.size())), expected);
    }

    void nullLineBreakRules()
    {
        Rig r;
        r.Choose(0);
        // Empty log: nothing added.
        r.Send(QStringLiteral("AT"), 2);
        QCOMPARE(r.log.Text(), QByteArray());
        r.log.Append("OK");
        r.Send(QStringLiteral("AT"), 2);
        QCOMPARE(r.log.Text(), QByteArray("OK\r\n"));

        // The list's double-click sends the first selected row, without the
        // line break; an empty cell sends its end bytes alone.
        auto *list = Find<QTableWidget>(r.d, "commandList");
        list->setColumnCount(2);
        list->setRowCount(3);
        list->setItem(0, 1, new QTableWidgetItem(QStringLiteral("AT+CSQ")));
        list->setItem(2, 1, new QTableWidgetItem(QStringLiteral("ATI")));
        list->setSelectionMode(QAbstractItemView::MultiSelection);
        list->selectRow(2);
        list->selectRow(0);
        r.d.CommandListDoubleClicked();
        QCOMPARE(r.pty.read(6, 1000), QByteArray("AT+CSQ"));
        QCOMPARE(r.log.Text(), QByteArray("OK\r\n"));
        list->clearSelection();
        list->selectRow(1);
        r.Choose(1);
        r.d.CommandListDoubleClicked();
        QCOMPARE(r.pty.read(1, 1000), QByteArray("\r"));
        list->clearSelection();
        r.d.CommandListDoubleClicked();
        QCOMPARE(r.pty.readFor(50), QByteArray());

        // The radio buttons count only from the next send on.
        r.Choose(3);
        QCOMPARE(r.Send(QStringLiteral("AT"), 4), QByteArray("AT\r\n"));
        // An empty box sends nothing.
        QCOMPARE(r.Send(QString(), 1), QByteArray());
    }

    // A double-click on a command cell sends the row's command: the edit box
    // that its first click opened is cancelled and the cell keeps its text.
    void doubleClickOnCommandCellSends()
    {
        Rig r;
        r.Choose(1);
        r.d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.d));
        auto *list = Find<EditableListCtrl>(r.d, "commandList");
        Find<QPushButton>(r.d, "addButton")->click();
        list->item(0, 1)->setText(QStringLiteral("ATI"));
        const QRect cell = list->visualRect(list->model()->index(0, 1));
        QTest::mouseDClick(r.d.windowHandle(), Qt::LeftButton, {}, list->viewport()->mapTo(&r.d, cell.center()));
        QCOMPARE(r.pty.read(4, 1000), QByteArray("ATI\r"));
        QCOMPARE(list->item(0, 1)->text(), QStringLiteral("ATI"));
        QVERIFY(!InPlaceEdit::OpenInstance());
    }

    void enterInCommandBoxSendsOnce()
    {
        Rig r;
        r.Choose(1);
        r.d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.d));
        auto *edit = Find<QLineEdit>(r.d, "commandEdit");
        edit->setText(QStringLiteral("ATI"));
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(r.pty.read(4, 1000) + r.pty.readFor(100), QByteArray("ATI\r"));
        QVERIFY(r.d.isVisible());
    }

    // Enter on a focused push button presses it; Enter anywhere else never
    // ends the window.
    void enterPressesTheFocusedButton()
    {
        Rig r;
        r.Choose(1);
        r.d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.d));
        auto *startStop = Find<QPushButton>(r.d, "startStopButton");
        QCOMPARE(startStop->text(), QStringLiteral("Stop"));
        MessageBoxCatcher boxes;
        startStop->setFocus();
        QTest::keyClick(startStop, Qt::Key_Return);
        QCOMPARE(startStop->text(), QStringLiteral("Start"));
        QVERIFY(!r.d.Session().isOpen());
        QTest::keyClick(startStop, Qt::Key_Enter); // the keypad's Enter too
        QCOMPARE(startStop->text(), QStringLiteral("Stop"));

        auto *send = Find<QPushButton>(r.d, "sendButton");
        Find<QLineEdit>(r.d, "commandEdit")->setText(QStringLiteral("AT"));
        send->setFocus();
        QTest::keyClick(send, Qt::Key_Return);
        QCOMPARE(r.pty.read(3, 1000) + r.pty.readFor(100), QByteArray("AT\r"));

        auto *rts = Find<QCheckBox>(r.d, "rtsCheck");
        rts->setFocus();
        QTest::keyClick(rts, Qt::Key_Return);
        QVERIFY(!rts->isChecked());
        QVERIFY(r.d.isVisible());
        QCOMPARE(startStop->text(), QStringLiteral("Stop"));
        QVERIFY(boxes.texts.isEmpty());
    }

    // Stop lets a frame that is still going out finish before the port is
    // purged, and says so when it cannot go out at all.
    void stopSendsWhatWasSent()
    {
        Rig r(false);
        r.Choose(1);
        Find<QComboBox>(r.d, "speedList")->setCurrentIndex(4); // 4800
        r.ClickStartStop();
        QVERIFY(r.d.Session().isOpen());
        MessageBoxCatcher boxes;
        const QByteArray command = "AT+" + QByteArray(3000, 'X');
        Find<QLineEdit>(r.d, "commandEdit")->setText(QString::fromLatin1(command));
        Find<QPushButton>(r.d, "sendButton")->click();
        r.ClickStartStop(); // at once: nothing has gone out yet
        QVERIFY(!r.d.Session().isOpen());
        QCOMPARE(r.pty.readFor(200), command + '\r');
        QVERIFY(boxes.texts.isEmpty());

        // The same when the window closes with the frame still queued.
        r.ClickStartStop();
        Find<QPushButton>(r.d, "sendButton")->click();
        r.d.close();
        QVERIFY(!r.d.Session().isOpen());
        QCOMPARE(r.pty.readFor(200), command + '\r');
        QVERIFY(boxes.texts.isEmpty());
    }

    void stopTellsOutputThatCannotGoOut()
    {
        Rig r(false);
        r.Choose(1);
        Find<QComboBox>(r.d, "speedList")->setCurrentIndex(10); // 115200
        r.ClickStartStop();
        MessageBoxCatcher boxes;
        // More than the pty holds while the module reads nothing: the rest
        // stays stuck as behind a flow-control line that never rises.
        const QByteArray command(32 * 1024, 'Y');
        Find<QLineEdit>(r.d, "commandEdit")->setText(QString::fromLatin1(command));
        Find<QPushButton>(r.d, "sendButton")->click();
        QElapsedTimer t;
        t.start();
        r.ClickStartStop();
        const qint64 took = t.elapsed();
        QVERIFY(!r.d.Session().isOpen());
        // Bounded: the frame's time on the wire (about 2.8 s), the margin and
        // the close pause.
        QVERIFY2(took < 2850 + SerialSession::kDrainMarginMs + SerialSession::kClosePauseMs + 1000,
                 qPrintable(QString::number(took)));
        QTRY_COMPARE(boxes.texts.size(), 1);
        // What did not go out is told; what the pty took is the rest at most.
        const QRegularExpressionMatch told =
            QRegularExpression(QStringLiteral("^发送超时!\n.+\n(\\d+) bytes were not sent")).match(boxes.texts[0]);
        QVERIFY2(told.hasMatch(), qPrintable(boxes.texts[0]));
        const qint64 unsent = told.captured(1).toLongLong();
        QVERIFY(unsent > 0 && unsent < command.size());
        const QByteArray got = r.pty.readFor(200);
        QVERIFY(got.size() <= command.size() + 1 - unsent);
    }

    // RTS ticked raises RTS; it never turns on CTS output flow control, which
    // would stop all output to a module whose CTS never rises.
    void rtsTickedIsNoCtsFlowControl()
    {
        Rig r(false);
        r.Choose(1);
        Find<QCheckBox>(r.d, "rtsCheck")->setChecked(true);
        r.ClickStartStop();
        QVERIFY(r.d.Session().isOpen());
        const int fd = ::open(r.pty.slavePath().toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        termios t {};
        const bool read = ::tcgetattr(fd, &t) == 0;
        ::close(fd);
        QVERIFY(read);
        QVERIFY(!(t.c_cflag & CRTSCTS));
        QCOMPARE(r.Send(QStringLiteral("AT"), 3), QByteArray("AT\r"));
    }

    // Off by default; the view's context menu item (or --log-dir) turns it
    // on, and the file then gets what the view gets.
    void logToDiskFromTheView()
    {
        Rig r(false);
        auto *view = Find<LogView>(r.d, "receiveView");
        std::unique_ptr<QMenu> menu(view->createContextMenu());
        QAction *item = nullptr;
        for (QAction *a : menu->actions())
            item = a->text() == QStringLiteral("Log to Disk…") ? a : item;
        QVERIFY(item);
        QVERIFY(item->isCheckable() && !item->isChecked());
        QCOMPARE(r.d.Session().logDirectory(), QString());

        QTemporaryDir dir;
        r.d.setLogDirectory(dir.path());
        QVERIFY(item->isChecked());
        r.ClickStartStop();
        QVERIFY(r.d.Session().isOpen());
        const QString path = r.d.Session().logFilePath();
        QVERIFY(path.startsWith(dir.path()));
        QVERIFY(r.pty.write("hello\r\n"));
        QTRY_COMPARE(r.log.Text(), QByteArray("hello\r\n"));
        r.ClickStartStop();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("hello\r\n"));
        item->trigger(); // off again
        QCOMPARE(r.d.Session().logDirectory(), QString());
    }

    void clearEmptiesTheLog()
    {
        Rig r;
        QVERIFY(r.pty.write("hello"));
        QTRY_COMPARE(r.log.size(), qsizetype(5));
        Find<QPushButton>(r.d, "clearButton")->click();
        QVERIFY(r.log.isEmpty());
        QVERIFY(r.d.Session().isOpen());
    }

    void savingTheLog()
    {
        QTemporaryDir dir;
        SessionLog log;
        TerminalDialog d(log);
        const QByteArray content("AT\r\r\nOK\r\n\xD6\xD0\0end", 14);
        log.Append(content);
        auto readFile = [](const QString &path) {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
        };

        // A name without ".txt" gets it; one with it keeps its name.
        QString chosen = dir.filePath(QStringLiteral("log"));
        d.SetSavePathAsker([&] { return chosen; });
        Find<QPushButton>(d, "saveLogButton")->click();
        QCOMPARE(readFile(dir.filePath(QStringLiteral("log.txt"))), content);
        chosen = dir.filePath(QStringLiteral("other.txt"));
        Find<QPushButton>(d, "saveLogButton")->click();
        QCOMPARE(readFile(chosen), content);
        QVERIFY(!QFile::exists(chosen + QStringLiteral(".txt")));

        // Replacing asks about the file really written; "No" leaves it alone.
        QFile keep(dir.filePath(QStringLiteral("keep.txt")));
        QVERIFY(keep.open(QIODevice::WriteOnly) && keep.write("precious") == 8);
        keep.close();
        chosen = dir.filePath(QStringLiteral("keep"));
        {
            MessageBoxCatcher no(QMessageBox::No);
            Find<QPushButton>(d, "saveLogButton")->click();
            QCOMPARE(no.texts.size(), 1);
            QVERIFY(no.texts.first().contains(QStringLiteral("keep.txt")));
        }
        QCOMPARE(readFile(keep.fileName()), QByteArray("precious"));
        {
            MessageBoxCatcher yes(QMessageBox::Yes);
            Find<QPushButton>(d, "saveLogButton")->click();
            QCOMPARE(yes.texts.size(), 1);
        }
        QCOMPARE(readFile(keep.fileName()), content);

        // Cancelled dialog: nothing happens.
        chosen.clear();
        {
            MessageBoxCatcher boxes;
            Find<QPushButton>(d, "saveLogButton")->click();
            QVERIFY(boxes.texts.isEmpty());
        }

        // A file that cannot be written is named in the error ...
        chosen = dir.filePath(QStringLiteral("no/such/folder/log"));
        {
            MessageBoxCatcher boxes;
            Find<QPushButton>(d, "saveLogButton")->click();
            QCOMPARE(boxes.texts.size(), 1);
            QVERIFY(boxes.texts.first().contains(QStringLiteral("log.txt")));
        }
        // ... except when the log is empty; an empty log saves an empty file.
        log.Clear();
        {
            MessageBoxCatcher boxes;
            Find<QPushButton>(d, "saveLogButton")->click();
            QVERIFY(boxes.texts.isEmpty());
        }
        chosen = dir.filePath(QStringLiteral("empty"));
        Find<QPushButton>(d, "saveLogButton")->click();
        QCOMPARE(readFile(dir.filePath(QStringLiteral("empty.txt"))), QByteArray());
    }

    // The window's Transactions: made when first turned on, following the
    // session, saved as the runner's report.
    void transactionsOfTheWindow()
    {
        SessionLog log;
        TerminalDialog d(log);
        QVERIFY(!d.findChild<TransactionsPane *>());
        d.SelectPort(TerminalDialog::kSimulatedPortName);
        Find<QComboBox>(d, "speedList")->setCurrentIndex(10); // 115200
        Find<QPushButton>(d, "startStopButton")->click();
        QVERIFY(d.Session().isOpen());
        Find<QRadioButton>(d, "endCrRadio")->setChecked(true);
        const auto send = [&](const char *command, const char *ending) {
            const qsizetype before = log.size();
            Find<QLineEdit>(d, "commandEdit")->setText(QString::fromLatin1(command));
            Find<QPushButton>(d, "sendButton")->click();
            QTRY_VERIFY(log.Text().mid(before).endsWith(ending));
        };
        send("AT+CSQ", "OK\r\n");
        send("AT+CMGF=1", "OK\r\n");
        send("AT+CMGS=\"+8613800000000\"", "> ");
        Find<QRadioButton>(d, "endSubRadio")->setChecked(true);
        send("hello", "OK\r\n");

        // Nothing of it is read while no pane asks.
        QCOMPARE(d.Session().transactions().count(), 0);
        QVERIFY(d.Session().transactions().unreadBytes() > 0);
        d.transactionsAction()->setChecked(true);
        TransactionsPane *pane = d.transactionsPane();
        QVERIFY(pane && pane->isVisible());
        // The commands, after what the module said as it started (URCs).
        const TransactionLog &t = d.Session().transactions();
        QCOMPARE(t.commandCount(), 4);
        const int rows = pane->model()->rowCount();
        QCOMPARE(rows, int(t.count()));
        for (int r = 0; r < rows - 4; ++r)
            QVERIFY(!pane->model()->index(r, TransactionsModel::Unsolicited).data().toString().isEmpty());
        QCOMPARE(pane->model()->index(rows - 4, TransactionsModel::Command).data().toString(), QStringLiteral("AT+CSQ"));
        QVERIFY(pane->model()->index(rows - 4, TransactionsModel::Meaning).data().toString().contains(QLatin1String("dBm")));
        QCOMPARE(pane->model()->index(rows - 2, TransactionsModel::Result).data().toString(), QStringLiteral(">"));
        // More comes while it is shown.
        Find<QRadioButton>(d, "endCrRadio")->setChecked(true);
        send("AT", "OK\r\n");
        QTRY_COMPARE(pane->model()->rowCount(), rows + 1);
        pane->close();
        QVERIFY(!d.transactionsAction()->isChecked());

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.json"));
        QVERIFY(d.SaveTransactionsTo(path));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
        const QJsonArray commands = root.value(QStringLiteral("commands")).toArray();
        QCOMPARE(commands.size(), 5);
        QCOMPARE(commands.at(0).toObject().value(QStringLiteral("reply")).toArray().at(0).toString(),
                 QStringLiteral("+CSQ: 20,99"));
        QCOMPARE(commands.at(3).toObject().value(QStringLiteral("command")).toString(), QStringLiteral("hello\x1a").left(5));
        QVERIFY(commands.at(3).toObject().value(QStringLiteral("body")).toBool());
        QCOMPARE(root.value(QStringLiteral("port")).toString(), TerminalDialog::kSimulatedPortName);
        QCOMPARE(root.value(QStringLiteral("lineSettings")).toString(), QStringLiteral("115200 8N1"));
        QCOMPARE(root.value(QStringLiteral("exitStatus")).toInt(), 0);
    }

    void conversationWithTheSimulatedModule()
    {
        SessionLog log;
        TerminalDialog d(log);
        d.SelectPort(TerminalDialog::kSimulatedPortName);
        Find<QComboBox>(d, "speedList")->setCurrentIndex(10); // 115200
        Find<QPushButton>(d, "startStopButton")->click();
        QVERIFY(d.Session().isOpen());
        QVERIFY(d.Session().ports().simulator() != nullptr);

        Find<QRadioButton>(d, "endCrRadio")->setChecked(true);
        Find<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT"));
        Find<QPushButton>(d, "sendButton")->click();
        QTRY_COMPARE(log.Text(), QByteArray("AT\r\r\nOK\r\n"));

        Find<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT+CMGF=1"));
        Find<QPushButton>(d, "sendButton")->click();
        QTRY_VERIFY(log.Text().endsWith("AT+CMGF=1\r\r\nOK\r\n"));
        Find<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT+CMGS=\"+8613800000000\""));
        Find<QPushButton>(d, "sendButton")->click();
        QTRY_VERIFY(log.Text().endsWith("> "));
        Find<QRadioButton>(d, "endSubRadio")->setChecked(true);
        Find<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("hello"));
        Find<QPushButton>(d, "sendButton")->click();
        QTRY_VERIFY(log.Text().contains("+CMGS: "));
        QTRY_VERIFY(log.Text().endsWith("OK\r\n"));
        // Stop and Start again on the same simulated module.
        Find<QPushButton>(d, "startStopButton")->click();
        QVERIFY(!d.Session().isOpen());
        Find<QPushButton>(d, "startStopButton")->click();
        QVERIFY(d.Session().isOpen());
        Find<QRadioButton>(d, "endCrRadio")->setChecked(true);
        Find<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT+CSQ"));
        Find<QPushButton>(d, "sendButton")->click();
        QTRY_VERIFY(log.Text().endsWith("AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n"));
    }

    // The simulated module reset by AT+CFUN=1,1: the port is lost as with an
    // unplugged module, and Start opens it on its new pty; pressed soon
    // enough, its boot messages are seen too (like a real module's, they are
    // lost to a port opened after them).
    // Up and Down in the command box recall what was sent from it, newest
    // first, and give back the text being typed past the newest.
    void historyRecallsSentCommands()
    {
        Rig r;
        r.Choose(1);
        auto *edit = Find<QLineEdit>(r.d, "commandEdit");
        r.d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&r.d));
        edit->setFocus();
        for (const char *c : {"AT", "ATI", "ATI", "AT+CSQ"})
            QCOMPARE(r.Send(QString::fromLatin1(c), int(qstrlen(c)) + 1), QByteArray(c) + '\r');
        edit->setText(QStringLiteral("AT+CR"));
        const auto key = [&](Qt::Key k) {
            QTest::keyClick(edit, k);
            return edit->text();
        };
        QCOMPARE(key(Qt::Key_Up), QStringLiteral("AT+CSQ"));
        QCOMPARE(key(Qt::Key_Up), QStringLiteral("ATI")); // sent twice in a row, kept once
        QCOMPARE(key(Qt::Key_Up), QStringLiteral("AT"));
        QCOMPARE(key(Qt::Key_Up), QStringLiteral("AT")); // the oldest stays
        QCOMPARE(key(Qt::Key_Down), QStringLiteral("ATI"));
        QCOMPARE(key(Qt::Key_Down), QStringLiteral("AT+CSQ"));
        QCOMPARE(key(Qt::Key_Down), QStringLiteral("AT+CR")); // the draft
        QCOMPARE(key(Qt::Key_Down), QStringLiteral("AT+CR"));
        // A recalled command, edited and sent, is the newest.
        key(Qt::Key_Up);
        key(Qt::Key_Up);
        QTest::keyClicks(edit, QStringLiteral("+GMR"));
        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(r.pty.read(8, 1000), QByteArray("ATI+GMR\r"));
        QCOMPARE(key(Qt::Key_Up), QStringLiteral("ATI+GMR"));
        QCOMPARE(key(Qt::Key_Up), QStringLiteral("AT+CSQ"));
        // The keys still move nowhere else: focus stays in the box.
        QCOMPARE(QApplication::focusWidget(), edit);
    }

    // While the module is away (reconnect waits for it) nothing pretends to
    // go: Send, double-click and Send All each say in the status bar that
    // the port is away and the command was not sent, and neither the log nor
    // the wire gets anything. A run going when the module went ends, and the
    // bar says why.
    void nothingIsSentWhileTheModuleIsAway()
    {
        Rig r(false);
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("module"));
        QVERIFY(PointLink(link, r.pty.slavePath()));
        UsePtyPort(r.d, link);
        r.Choose(4); // SUB: a command sent is logged
        auto *list = Find<EditableListCtrl>(r.d, "commandList");
        for (const char *command : {"AT", "ATI"}) {
            Find<QPushButton>(r.d, "addButton")->click();
            list->item(list->rowCount() - 1, 1)->setText(QLatin1String(command));
        }
        r.ClickStartStop();
        QVERIFY(r.d.Session().isOpen());
        auto *bar = Find<QStatusBar>(r.d, "statusBar");
        auto *sendAll = Find<QPushButton>(r.d, "sendAllButton");
        MessageBoxCatcher boxes;
        QSignalSpy sent(&r.d, &TerminalDialog::CommandSent);

        sendAll->click();
        QCOMPARE(r.pty.read(3, 1000), QByteArray("AT\x1A"));
        QVERIFY(!sendAll->isEnabled());
        r.pty.closeMaster(); // gone before its answer
        QTRY_VERIFY_WITH_TIMEOUT(r.d.Session().isWaiting(), 2000);
        QVERIFY(sendAll->isEnabled());
        QVERIFY2(bar->currentMessage().startsWith(QStringLiteral("Send All stopped: %1 went away").arg(link)),
                 qPrintable(bar->currentMessage()));
        QCOMPARE(sent.size(), 1);

        const QByteArray before = r.log.Text();
        const QString notSent = QStringLiteral("Not sent: %1 is away").arg(link);
        bar->clearMessage();
        Find<QLineEdit>(r.d, "commandEdit")->setText(QStringLiteral("AT+CSQ"));
        Find<QPushButton>(r.d, "sendButton")->click();
        QVERIFY2(bar->currentMessage().startsWith(notSent), qPrintable(bar->currentMessage()));
        bar->clearMessage();
        list->selectRow(1);
        r.d.CommandListDoubleClicked();
        QVERIFY2(bar->currentMessage().startsWith(notSent), qPrintable(bar->currentMessage()));
        bar->clearMessage();
        sendAll->click();
        QVERIFY2(bar->currentMessage().startsWith(QStringLiteral("Send All not started: %1 is away").arg(link)),
                 qPrintable(bar->currentMessage()));
        QVERIFY(!r.d.Session().sendAllActive());
        QVERIFY(sendAll->isEnabled());
        QCOMPARE(r.log.Text(), before);
        QCOMPARE(sent.size(), 1);
        // Told in the bar, never in a box; Stop still ends the wait.
        QVERIFY(boxes.texts.isEmpty());
        QCOMPARE(Find<QPushButton>(r.d, "startStopButton")->text(), QStringLiteral("Stop"));

        // Back: what was not sent stays unsent, and sending goes on.
        PtyPair back;
        QVERIFY(PointLink(link, back.slavePath()));
        QTRY_VERIFY_WITH_TIMEOUT(r.d.Session().isOpen(), 2000);
        QVERIFY(bar->currentMessage().isEmpty());
        QCOMPARE(back.readFor(100), QByteArray());
        Find<QPushButton>(r.d, "sendButton")->click();
        QCOMPARE(back.read(7, 1000), QByteArray("AT+CSQ\x1A"));
        QCOMPARE(sent.size(), 2);
        r.ClickStartStop();
    }

    // The simulated module's reset: the session waits through it and is back
    // on the module's new pty, with its boot messages in the log.
    void simulatedModuleResets()
    {
        SessionLog log;
        TerminalDialog d(log);
        d.SelectPort(TerminalDialog::kSimulatedPortName);
        Find<QComboBox>(d, "speedList")->setCurrentIndex(10); // 115200
        Find<QRadioButton>(d, "endCrRadio")->setChecked(true);
        auto *startStop = Find<QPushButton>(d, "startStopButton");
        startStop->click();
        QVERIFY(d.Session().isOpen());
        const QString before = QFileInfo(d.Session().serial().DevicePath()).canonicalFilePath();
        QSignalSpy waiting(&d.Session(), &TerminalSession::waitingForDevice);
        MessageBoxCatcher boxes;
        Find<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT+CFUN=1,1"));
        Find<QPushButton>(d, "sendButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(waiting.size(), 1, 3000);
        QCOMPARE(startStop->text(), QStringLiteral("Stop"));
        QTRY_VERIFY_WITH_TIMEOUT(log.Text().endsWith("\r\nSMS Ready\r\n"), 3000);
        QVERIFY(d.Session().isOpen());
        QVERIFY(QFileInfo(d.Session().serial().DevicePath()).canonicalFilePath() != before);
        static const QRegularExpression whole(QStringLiteral(
            "AT\\+CFUN=1,1\\r\\r\\nOK\\r\\n"
            "\\r\\n----- Simulated module lost [0-9: -]{19} -----\\r\\n"
            "\\r\\n----- Simulated module back [0-9: -]{19} -----\\r\\n"
            "\\r\\nRDY\\r\\n\\r\\n\\+CFUN: 1\\r\\n\\r\\n\\+CPIN: READY\\r\\n\\r\\nSMS Ready\\r\\n$"));
        QVERIFY2(whole.match(QString::fromLatin1(log.Text())).hasMatch(), log.Text().constData());
        // Sending goes on.
        Find<QLineEdit>(d, "commandEdit")->setText(QStringLiteral("AT"));
        Find<QPushButton>(d, "sendButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(log.Text().endsWith("AT\r\r\nOK\r\n"), 3000);
        QVERIFY(boxes.texts.isEmpty());
        startStop->click();
    }
};

QTEST_MAIN(TestSending)
#include "test_sending.moc"
