// The terminal as a launcher starts it: arguments it does not know are told
// on standard error and the window opens anyway; --help prints the usage.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestStartup : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir; // the current directory, where the Module folder is made

    void Start(QProcess &process, const QStringList &arguments)
    {
        process.setWorkingDirectory(m_dir.path());
        process.start(QStringLiteral(QRV_TERM_PATH), arguments);
        QVERIFY(process.waitForStarted());
    }

private slots:
    void unknownArgumentsDoNotStopIt()
    {
        QProcess process;
        Start(process, {QStringLiteral("--no-web-view"), QStringLiteral("--launcher-flag"),
                        QStringLiteral("/some/file.ini"), QStringLiteral("--port"), QStringLiteral("/dev/null")});
        // Still running well after the window would have opened.
        QVERIFY(!process.waitForFinished(2500));
        QCOMPARE(process.state(), QProcess::Running);
        QVERIFY(QFileInfo(m_dir.filePath(QStringLiteral("Module/example.ini"))).isFile());
        process.kill();
        process.waitForFinished();
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("launcher-flag")) && err.contains(QStringLiteral("ignored")),
                 qPrintable(err));
    }

    // --help and --version print and exit 0, with a display or without one
    // (no platform plugin at all: over ssh, on a bench).
    void helpPrintsTheUsage_data()
    {
        QTest::addColumn<bool>("display");
        QTest::newRow("offscreen") << true;
        QTest::newRow("no display") << false;
    }
    void helpPrintsTheUsage()
    {
        QFETCH(bool, display);
        QProcess process;
        if (!display) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
                env.remove(QString::fromLatin1(name));
            process.setProcessEnvironment(env);
        }
        Start(process, {QStringLiteral("--help"), QStringLiteral("--launcher-flag")});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
        QVERIFY2(out.contains(QStringLiteral("--port")) && out.contains(QStringLiteral("--no-web-view")),
                 qPrintable(out));
        QProcess version;
        version.setProcessEnvironment(process.processEnvironment());
        Start(version, {QStringLiteral("--version")});
        QVERIFY(version.waitForFinished(10000));
        QCOMPARE(version.exitStatus(), QProcess::NormalExit);
        QCOMPARE(version.exitCode(), 0);
        QVERIFY2(version.readAllStandardOutput().contains("1.02"), version.readAllStandardError().constData());
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
