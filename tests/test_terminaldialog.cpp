// The main window and its port session, driven against pseudo-terminals.
#include "messageboxcatcher.h"
#include "dialogsupport.h"
#include "fakedevicetree.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPort>
#include <QSignalBlocker>
#include <QAction>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <memory>

class TestTerminalDialog : public QObject
{
    Q_OBJECT

    template <typename T> static T *Find(QWidget &w, const char *name) { return FindControl<T>(w, name); }
    static QStringList ListTexts(QComboBox *box)
    {
        QStringList out;
        for (int i = 0; i < box->count(); ++i)
            out << box->itemText(i);
        return out;
    }
    static QList<QComboBox *> SettingLists(QWidget &w)
    {
        return { Find<QComboBox>(w, "portList"), Find<QComboBox>(w, "speedList"), Find<QComboBox>(w, "dataList"),
                 Find<QComboBox>(w, "parityList"), Find<QComboBox>(w, "stopList") };
    }
    static void Start(TerminalDialog &d) { Find<QPushButton>(d, "startStopButton")->click(); }
    // True when another opener can take the device (it was released).
    static bool CanOpen(const QString &path)
    {
        QSerialPort other;
        other.setPortName(path);
        const bool ok = other.open(QIODevice::ReadWrite);
        other.close();
        return ok;
    }

private slots:
    void initTestCase() { TerminalDialog::SetPortLister([] { return QStringList(); }); }

    void defaultsAfterSetUp()
    {
        SessionLog log;
        TerminalDialog d(log);
        QCOMPARE(d.windowTitle(), QStringLiteral("QRV无线模块调试工具V1.02"));

        auto lists = SettingLists(d);
        QCOMPARE(lists[0]->currentText(), QStringLiteral("COM1"));
        QCOMPARE(lists[1]->currentText(), QStringLiteral("4800"));
        QCOMPARE(lists[2]->currentText(), QStringLiteral("8"));
        QCOMPARE(lists[3]->currentText(), QStringLiteral("NONE"));
        QCOMPARE(lists[4]->currentText(), QStringLiteral("1"));
        QCOMPARE(ListTexts(lists[0]).mid(0, 8),
                 QStringList({ "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8" }));
        QCOMPARE(ListTexts(lists[0]).last(), TerminalDialog::kSimulatedPortName);
        QCOMPARE(ListTexts(lists[1]),
                 QStringList({ "300", "600", "1200", "2400", "4800", "9600", "14400", "19200", "38400", "57600",
                               "115200" }));
        QCOMPARE(ListTexts(lists[2]), QStringList({ "5", "6", "7", "8" }));
        QCOMPARE(ListTexts(lists[3]), QStringList({ "NONE", "EVEN", "ODD" }));
        QCOMPARE(ListTexts(lists[4]), QStringList({ "1", "1.5", "2" }));
        for (QComboBox *list : lists)
            QVERIFY(list->isEnabled());
        QVERIFY(!Find<QCheckBox>(d, "rtsCheck")->isChecked());
        QVERIFY(!Find<QCheckBox>(d, "dtrCheck")->isChecked());
        QVERIFY(Find<QRadioButton>(d, "endNullRadio")->isChecked());
        QCOMPARE(Find<QPushButton>(d, "startStopButton")->text(), QStringLiteral("Start"));

        // No push button may turn Enter in a text box into a click.
        const auto buttons = d.findChildren<QPushButton *>();
        QCOMPARE(buttons.size(), 12);
        for (QPushButton *b : buttons)
            QVERIFY2(!b->autoDefault() && !b->isDefault(), qPrintable(b->objectName()));

        auto *bar = Find<QStatusBar>(d, "statusBar");
        QCOMPARE(bar->geometry().bottomRight(), QPoint(d.width() - 1, d.height() - 1));
        QCOMPARE(bar->geometry().left(), 0);
        QVERIFY(bar->height() >= 32);
        QVERIFY(Find<QLabel>(d, "statusText0")->text().startsWith(QStringLiteral("QRV无线模块调试工具V1.02        Mail:")));
        QVERIFY(Find<QLabel>(d, "statusText1")->text().startsWith(QStringLiteral("         欢迎访问QRV工作室 ")));
        // The program's icon, on the window and before the status bar's text.
        QVERIFY(!d.windowIcon().isNull());
        const QList<QLabel *> part0 = Find<QWidget>(d, "statusPart0")->findChildren<QLabel *>();
        QVERIFY(!part0.isEmpty());
        QVERIFY(!part0.first()->pixmap().isNull());
    }

    void startOpensAndStopCloses()
    {
        PtyDialog rig;
        auto &[pty, log, d] = rig;
        QVERIFY(d.Session().isOpen());
        QCOMPARE(Find<QPushButton>(d, "startStopButton")->text(), QStringLiteral("Stop"));
        for (QComboBox *list : SettingLists(d))
            QVERIFY(!list->isEnabled());
        QVERIFY(Find<QCheckBox>(d, "rtsCheck")->isEnabled());
        QVERIFY(Find<QCheckBox>(d, "dtrCheck")->isEnabled());
        // Exclusive: nobody else can open it now.
        QVERIFY(!CanOpen(pty.slavePath()));

        // Stop runs the close sequence: at least 500 ms, then the port is free.
        QElapsedTimer t;
        t.start();
        Start(d);
        QVERIFY(t.elapsed() >= 500);
        QVERIFY(!d.Session().isOpen());
        QVERIFY(CanOpen(pty.slavePath()));
        QCOMPARE(Find<QPushButton>(d, "startStopButton")->text(), QStringLiteral("Start"));
        for (QComboBox *list : SettingLists(d))
            QVERIFY(list->isEnabled());
        // A closed session writes nothing.
        QCOMPARE(d.Session().serial().Write("AT\r", 3), qint64(0));
    }

    void portInUseElsewhere()
    {
        PtyDialog rig(false);
        auto &[pty, log, d] = rig;
        QSerialPort holder;
        holder.setPortName(pty.slavePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));

        Find<QComboBox>(d, "speedList")->setCurrentIndex(10);
        QStringList before;
        for (QComboBox *list : SettingLists(d))
            before << list->currentText();

        // The message names who holds the port: this test, here.
        const QString heldBy = QStringLiteral("串口被占用!\n%1 is held by %2 (pid %3)")
                                   .arg(pty.slavePath(), OwnCommandName())
                                   .arg(QCoreApplication::applicationPid());
        MessageBoxCatcher boxes;
        Start(d);
        QCOMPARE(boxes.texts, QStringList({ heldBy }));
        QVERIFY(!d.Session().isOpen());
        QCOMPARE(Find<QPushButton>(d, "startStopButton")->text(), QStringLiteral("Start"));
        QStringList after;
        for (QComboBox *list : SettingLists(d)) {
            QVERIFY(list->isEnabled());
            after << list->currentText();
        }
        QCOMPARE(after, before);

        // Reaching the same device through a symbolic link is still "in use".
        const QString link = QDir::temp().filePath(QStringLiteral("qrv-link-%1").arg(QCoreApplication::applicationPid()));
        QFile::remove(link);
        QVERIFY(QFile::link(pty.slavePath(), link));
        UsePtyPort(d, link);
        Start(d);
        QFile::remove(link);
        QCOMPARE(boxes.texts, QStringList({ heldBy, heldBy }));
        QVERIFY(!d.Session().isOpen());
    }

    void rejectedSettingThenValidStart()
    {
        PtyDialog rig(false);
        auto &[pty, log, d] = rig;
        Find<QComboBox>(d, "stopList")->setCurrentIndex(1); // 1.5 stop bits
        {
            MessageBoxCatcher boxes;
            Start(d);
            QCOMPARE(boxes.texts, QStringList({ "设置串口参数失败!", "串口被占用!" }));
        }
        QVERIFY(!d.Session().isOpen());
        QVERIFY(CanOpen(pty.slavePath())); // released after the refusal
        Find<QComboBox>(d, "stopList")->setCurrentIndex(0);
        Start(d);
        QVERIFY(d.Session().isOpen());
    }

    // The cause is told on a line below the message; a failure told once is
    // not told again for the next one.
    void openFailureSaysWhy()
    {
        PtyDialog rig(false);
        auto &[pty, log, d] = rig;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString gone = dir.filePath(QStringLiteral("ttyUSB0"));
        MessageBoxCatcher boxes;
        for (const QString &path : { gone, QStringLiteral("/dev/null"), pty.slavePath() }) {
            d.SelectPort(path);
            QCOMPARE(Find<QComboBox>(d, "portList")->currentText(), path);
            if (path == pty.slavePath()) {
                QSerialPort holder;
                holder.setPortName(path);
                QVERIFY(holder.open(QIODevice::ReadWrite));
                Start(d);
            } else {
                Start(d);
            }
            QVERIFY(!d.Session().isOpen());
            QCOMPARE(Find<QPushButton>(d, "startStopButton")->text(), QStringLiteral("Start"));
            QVERIFY(Find<QComboBox>(d, "portList")->isEnabled());
        }
        QCOMPARE(boxes.texts,
                 QStringList({ "串口被占用!\n" + gone + ": no such device. Is the module plugged in, and is the path right?",
                               "串口被占用!\n/dev/null is not a serial device. Pick the module's port, such as "
                               "/dev/ttyUSB0 or /dev/ttyACM0.",
                               QStringLiteral("串口被占用!\n%1 is held by %2 (pid %3)")
                                   .arg(pty.slavePath(), OwnCommandName())
                                   .arg(QCoreApplication::applicationPid()) }));
    }

    // The system's ports are listed afresh each time the Port list opens;
    // COM1 … COM8, the simulated module and the chosen or typed entry stay.
    void portListFollowsTheSystem()
    {
        auto system = std::make_shared<QStringList>();
        TerminalDialog::SetPortLister([system] { return *system; });
        SessionLog log;
        TerminalDialog d(log);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto *box = Find<QComboBox>(d, "portList");
        const QStringList com { "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8" };
        const QString sim = TerminalDialog::kSimulatedPortName;
        const auto open = [box] {
            QTest::keyClick(box, Qt::Key_F4);
            QVERIFY(box->view()->isVisible());
            box->hidePopup();
        };
        QCOMPARE(ListTexts(box), com + QStringList({ sim }));

        // Plugged in while running: listed once the list opens, not before.
        d.SelectPort(QStringLiteral("COM3"));
        *system = QStringList { "ttyUSB0", "ttyACM0" };
        QCOMPARE(box->count(), 9);
        open();
        QCOMPARE(ListTexts(box), com + QStringList({ "ttyUSB0", "ttyACM0", sim }));
        QCOMPARE(box->currentText(), QStringLiteral("COM3"));
        QCOMPARE(box->currentIndex(), 2);

        // The simulated module stays chosen as ports come and go before it.
        box->setCurrentIndex(box->count() - 1);
        *system = QStringList { "ttyACM0" };
        open();
        QCOMPARE(ListTexts(box), com + QStringList({ "ttyACM0", sim }));
        QCOMPARE(box->currentIndex(), box->count() - 1);
        QCOMPARE(box->currentText(), sim);

        // A chosen port that went away stays the entry (Start then says why).
        d.SelectPort(QStringLiteral("ttyACM0"));
        QCOMPARE(box->currentIndex(), 8);
        system->clear();
        open();
        QCOMPARE(ListTexts(box), com + QStringList({ sim }));
        QCOMPARE(box->currentText(), QStringLiteral("ttyACM0"));
        QVERIFY(box->toolTip().startsWith(QStringLiteral("ttyACM0\n")));

        // So does a typed path; a port plugged back in is listed again.
        d.SelectPort(QStringLiteral("/dev/rfcomm0"));
        *system = QStringList { "ttyACM0" };
        open();
        QCOMPARE(ListTexts(box), com + QStringList({ "ttyACM0", sim }));
        QCOMPARE(box->currentText(), QStringLiteral("/dev/rfcomm0"));

        TerminalDialog::SetPortLister([] { return QStringList(); });
    }

    // What each port is shows beside it and in the tooltip; a port that
    // comes while the list is open is listed at once.
    void portListShowsIdentityAndFollowsTheSystem()
    {
        FakeDeviceTree tree;
        qputenv("QRV_DEVICE_ROOT", tree.root().toUtf8());
        PtyPair a, b;
        const QString byId = QStringLiteral("usb-Quectel_EC25_ABC-if02-port0");
        tree.addUsbTty(QStringLiteral("ttyUSB2"), a.slavePath(), QStringLiteral("ABC"), 2, byId);
        const QString dev = tree.dev();
        TerminalDialog::SetPortLister([dev] {
            QStringList paths;
            for (const QString &name : QDir(dev).entryList({QStringLiteral("ttyUSB*")}, QDir::System, QDir::Name))
                paths << dev + u'/' + name;
            return paths;
        });
        SessionLog log;
        TerminalDialog d(log);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto *box = Find<QComboBox>(d, "portList");
        QTest::keyClick(box, Qt::Key_F4);
        QVERIFY(box->view()->isVisible());
        const QString usb2 = dev + QStringLiteral("/ttyUSB2");
        const int index = box->findText(usb2);
        QCOMPARE(index, 8);
        QCOMPARE(box->itemData(index, Qt::ToolTipRole).toString(), QStringLiteral("Quectel EC25, interface 2 (") + byId + u')');
        // Plugged in while the list is open.
        tree.addUsbTty(QStringLiteral("ttyUSB3"), b.slavePath(), QStringLiteral("ABC"), 3);
        QTRY_COMPARE_WITH_TIMEOUT(box->findText(dev + QStringLiteral("/ttyUSB3")), 9, 1000);
        box->hidePopup();
        d.SelectPort(usb2);
        QVERIFY(box->toolTip().startsWith(usb2 + QStringLiteral("\nQuectel EC25, interface 2")));
        qunsetenv("QRV_DEVICE_ROOT");
        TerminalDialog::SetPortLister([] { return QStringList(); });
    }

    void stalledOutputIsGivenUp()
    {
        PtyDialog rig;
        auto &[pty, log, d] = rig;
        SerialSession &session = d.Session().serial();
        session.SetWriteTimeouts(0, 300);
        QSignalSpy timedOut(&session, &SerialSession::WriteTimedOut);
        MessageBoxCatcher boxes;
        // The module reads nothing: the pty fills up and output stays queued.
        const QByteArray block(512 * 1024, 'x');
        QCOMPARE(session.Write(block.constData(), block.size()), qint64(block.size()));
        QTest::qWait(100);
        QVERIFY(session.BytesToWrite() > 0);
        QVERIFY(timedOut.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(timedOut.size(), 1, 1000);
        const qint64 dropped = timedOut.first().first().toLongLong();
        QVERIFY(dropped > 0);
        QCOMPARE(session.BytesToWrite(), qint64(0));
        // The user is told, once, how much did not go out.
        QTRY_COMPARE(boxes.texts.size(), 1);
        QVERIFY2(boxes.texts[0].startsWith(QStringLiteral("发送超时!"))
                     && boxes.texts[0].contains(QStringLiteral("%1 bytes were not sent").arg(dropped)),
                 qPrintable(boxes.texts[0]));
        // The line is usable again: what the pty held, then the next frame.
        const QByteArray held = pty.readFor(200);
        QVERIFY(!held.isEmpty() && held.size() < block.size());
        QCOMPARE(session.Write("AT\r", 3), qint64(3));
        QCOMPARE(pty.read(3), QByteArray("AT\r"));
        QVERIFY(session.IsOpen());
    }

    // Reconnect on (the default): the session stays, with no box; Stop ends
    // the wait. (The device is opened through a link, which it may come
    // back behind.)
    void hangUpWaitsForTheDevice()
    {
        PtyDialog rig(false);
        auto &[pty, log, d] = rig;
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("module"));
        QVERIFY(QFile::link(pty.slavePath(), link));
        UsePtyPort(d, link);
        rig.ClickStartStop();
        QVERIFY(d.Session().isOpen());
        auto *reconnect = d.findChild<QAction *>(QStringLiteral("reconnectAction"));
        QVERIFY(reconnect && reconnect->isChecked());
        MessageBoxCatcher boxes;
        const std::clock_t cpuBefore = std::clock();
        pty.closeMaster();
        QTRY_VERIFY_WITH_TIMEOUT(d.Session().isWaiting(), 1000);
        auto *bar = d.findChild<QStatusBar *>(QStringLiteral("statusBar"));
        QVERIFY(bar->currentMessage().startsWith(QStringLiteral("Waiting for ") + link));
        auto *startStop = Find<QPushButton>(d, "startStopButton");
        QCOMPARE(startStop->text(), QStringLiteral("Stop"));
        for (QComboBox *list : SettingLists(d))
            QVERIFY(!list->isEnabled());
        QVERIFY(log.Text().contains(" lost "));
        // Waiting costs nothing.
        QTest::qWait(500);
        const double cpu = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
        QVERIFY2(cpu < 0.2, qPrintable(QString::number(cpu)));
        QVERIFY(boxes.texts.isEmpty());
        startStop->click();
        QVERIFY(!d.Session().isWaiting());
        QCOMPARE(startStop->text(), QStringLiteral("Start"));
        QVERIFY(bar->currentMessage().isEmpty());
        for (QComboBox *list : SettingLists(d))
            QVERIFY(list->isEnabled());
        QVERIFY(boxes.texts.isEmpty());
    }

    // A pty typed into the Port box is never waited back for (its number
    // goes to the next pty made): with reconnect on, its hang-up ends the
    // session with the message a lost device gets without reconnect.
    void hangUpOfATypedPtyReturnsToClosed()
    {
        PtyDialog rig;
        auto &[pty, log, d] = rig;
        QVERIFY(d.Session().isOpen());
        QVERIFY(d.Session().reconnect());
        MessageBoxCatcher boxes;
        pty.closeMaster();
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.texts.isEmpty(), 1000);
        QVERIFY2(boxes.texts.first().startsWith(QStringLiteral("串口已断开!\n%1\n").arg(pty.slavePath())),
                 qPrintable(boxes.texts.first()));
        QVERIFY(!d.Session().isWaiting());
        QVERIFY(!d.Session().isOpen());
        QCOMPARE(Find<QPushButton>(d, "startStopButton")->text(), QStringLiteral("Start"));
        for (QComboBox *list : SettingLists(d))
            QVERIFY(list->isEnabled());
        QVERIFY(!log.Text().contains(" lost "));
        QVERIFY(d.findChild<QStatusBar *>(QStringLiteral("statusBar"))->currentMessage().isEmpty());
        QCOMPARE(boxes.texts.size(), 1);
    }

    // Reconnect turned off in the receive view's menu: a lost device ends
    // the session with a message, as it always did.
    void hangUpReturnsToClosed()
    {
        PtyDialog rig;
        auto &[pty, log, d] = rig;
        QVERIFY(d.Session().isOpen());
        d.findChild<QAction *>(QStringLiteral("reconnectAction"))->trigger();
        QVERIFY(!d.Session().reconnect());

        MessageBoxCatcher boxes;
        const std::clock_t cpuBefore = std::clock();
        QElapsedTimer t;
        t.start();
        pty.closeMaster();
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.texts.isEmpty(), 1000);
        QVERIFY(t.elapsed() < 1000);
        QVERIFY(boxes.texts.first().startsWith(QStringLiteral("串口已断开!")));
        QVERIFY(!d.Session().isOpen());
        QCOMPARE(Find<QPushButton>(d, "startStopButton")->text(), QStringLiteral("Start"));
        for (QComboBox *list : SettingLists(d))
            QVERIFY(list->isEnabled());
        // No busy loop afterwards.
        QTest::qWait(500);
        const double cpu = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
        QVERIFY2(cpu < 0.4, qPrintable(QString::number(cpu)));
    }

    void enterAndEscapeNeverEndTheWindow()
    {
        SessionLog log;
        TerminalDialog d(log);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        auto *edit = Find<QLineEdit>(d, "commandEdit");
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Return);
        QTest::keyClick(edit, Qt::Key_Enter);
        QTest::keyClick(edit, Qt::Key_Escape);
        QTest::keyClick(&d, Qt::Key_Escape);
        QVERIFY(d.isVisible());
        QCOMPARE(d.result(), 0);
    }

    void closeRequestRunsTheCloseSequence()
    {
        PtyDialog rig(false);
        auto &[pty, log, d] = rig;
        d.show();
        Start(d);
        QVERIFY(d.Session().isOpen());
        QElapsedTimer t;
        t.start();
        QVERIFY(d.close());
        QVERIFY(t.elapsed() >= 500);
        QVERIFY(!d.Session().isOpen());
        QVERIFY(CanOpen(pty.slavePath()));
    }

    void aboutButtonOpensTheAboutBox()
    {
        SessionLog log;
        TerminalDialog d(log);
        d.show();
        QString title;
        QTimer::singleShot(50, [&] {
            for (QWidget *w : QApplication::topLevelWidgets()) {
                if (w->inherits("AboutDialog") && w->isVisible()) {
                    title = w->windowTitle();
                    w->findChild<QPushButton *>(QStringLiteral("okButton"))->click();
                }
            }
        });
        Find<QPushButton>(d, "aboutButton")->click();
        QCOMPARE(title, QStringLiteral("关于 QRV无线模块调试工具"));
    }
};

QTEST_MAIN(TestTerminalDialog)
#include "test_terminaldialog.moc"
