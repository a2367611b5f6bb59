// Command-set files and the INI reader, run against a temporary current
// directory.
#include "commands/commandsetfiles.h"
#include "commands/commandtext.h"
#include "commands/inireader.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// "Within a second" on a normal build; sanitizer builds run several times
// slower.
#ifdef QRV_SANITIZED
constexpr qint64 kSecond = 10000;
#else
constexpr qint64 kSecond = 1000;
#endif

namespace {

const QByteArray kExampleFile = "[example]\r\ncmdnum=6\r\ncmd1=AT\r\ncmd2=ATE0\r\ncmd3=AT+CMGF=1\r\n"
                                "cmd4=AT+CSCA?\r\ncmd5=AT+CMGR=1\r\ncmd6=AT+CMGD=1\r\n";

bool WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

QStringList Sorted(QStringList names)
{
    names.sort();
    return names;
}

} // namespace

class TestCommandSetFiles : public QObject
{
    Q_OBJECT

    QTemporaryDir *m_dir = nullptr;
    QString m_oldCurrent;
    QString m_module;

private slots:
    void init()
    {
        m_dir = new QTemporaryDir;
        QVERIFY(m_dir->isValid());
        m_oldCurrent = QDir::currentPath();
        QVERIFY(QDir::setCurrent(m_dir->path()));
        m_module = ModuleDirectory();
    }

    void cleanup()
    {
        QDir::setCurrent(m_oldCurrent);
        // Undo any permission a test took away, so the folder can be removed.
        ::chmod(QFile::encodeName(m_module).constData(), 0755);
        delete m_dir;
    }

    void firstStartWritesTheExample()
    {
        QCOMPARE(m_module, QDir::currentPath() + "/Module");
        QVERIFY(PrepareModuleDirectory(m_module));
        QCOMPARE(ReadFile(m_module + "/example.ini"), kExampleFile);
        QCOMPARE(ListModuleFiles(m_module), QStringList{"example"});
        const CommandSetContents set = ReadCommandSet(m_module, "example");
        QCOMPARE(set.commands, (QList<QByteArray>{"AT", "ATE0", "AT+CMGF=1", "AT+CSCA?", "AT+CMGR=1", "AT+CMGD=1"}));
        QVERIFY(set.error.isEmpty());

        // An existing folder is left alone, example or not.
        QVERIFY(QFile::remove(m_module + "/example.ini"));
        QVERIFY(!PrepareModuleDirectory(m_module));
        QVERIFY(ListModuleFiles(m_module).isEmpty());

        // The folder follows the current directory.
        QVERIFY(QDir().mkdir("elsewhere"));
        QVERIFY(QDir::setCurrent("elsewhere"));
        QCOMPARE(ModuleDirectory(), m_dir->path() + "/elsewhere/Module");
    }

    void anythingNamedModuleBlocksTheFolder()
    {
        QVERIFY(WriteFile(m_module, "not a folder"));
        QVERIFY(!PrepareModuleDirectory(m_module));
        QCOMPARE(ReadFile(m_module), QByteArray("not a folder"));
        QVERIFY(ListModuleFiles(m_module).isEmpty());

        const QString dangling = m_dir->path() + "/Dangling";
        QVERIFY(QFile::link(m_dir->path() + "/nowhere", dangling));
        QVERIFY(!PrepareModuleDirectory(dangling));
        QVERIFY(!QFileInfo(dangling).isDir());
    }

    void listingNamesAndWhereTheyAreRead()
    {
        QVERIFY(QDir().mkpath(m_module + "/sub/deeper"));
        QVERIFY(QDir().mkpath(m_module + "/.hidden"));
        // Each file holds the section of the name it is listed as.
        for (const char *file : {"readme.txt", "A.INI", "set.ini.ini", "set.ini", ".dot.ini", "x.ini", "sub/x.ini",
                                 "sub/deeper/y.ini", ".hidden/z.ini"}) {
            const QByteArray section = QString(file).section(u'/', -1).remove(".ini").toUtf8();
            QVERIFY(WriteFile(m_module + "/" + file, "[" + section + "]\r\ncmdnum=1\r\ncmd1=from " + file + "\r\n"));
        }
        QVERIFY(QFile::link(m_module + "/set.ini", m_module + "/linked.ini")); // a link to a file is a file
        QCOMPARE(Sorted(ListModuleFiles(m_module)),
                 Sorted({"readme.txt", "A.INI", "set", "set", ".dot", "x", "x", "y", "linked"}));

        // readme.txt reads readme.txt.ini, which is missing: an empty set, no error.
        const CommandSetContents readme = ReadCommandSet(m_module, "readme.txt");
        QVERIFY(readme.commands.isEmpty() && readme.error.isEmpty());
        // "x" is read from the folder itself, never from the subfolder.
        QCOMPARE(ReadCommandSet(m_module, "x").commands, QList<QByteArray>{"from x.ini"});
        // "set", listed for set.ini.ini and set.ini, reads set.ini.
        QCOMPARE(ReadCommandSet(m_module, "set").commands, QList<QByteArray>{"from set.ini"});
        // The section must carry the name: renamed by hand, the file reads as empty.
        QVERIFY(QFile::rename(m_module + "/x.ini", m_module + "/renamed.ini"));
        QVERIFY(ReadCommandSet(m_module, "renamed").commands.isEmpty());

        QVERIFY(ListModuleFiles(m_module + "/missing").isEmpty());
    }

    void linksToFoldersAreNotFollowed()
    {
        QVERIFY(QDir().mkpath(m_module + "/sub"));
        QVERIFY(WriteFile(m_module + "/sub/a.ini", ""));
        QVERIFY(QFile::link(m_module, m_module + "/loop"));
        QVERIFY(QFile::link("..", m_module + "/sub/up"));
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(ListModuleFiles(m_module), QStringList{"a"});
        QVERIFY(timer.elapsed() < kSecond);
    }

    void leadingInteger_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<qint64>("value");
        QTest::newRow("blanks sign tail") << QByteArray(" \t+12abc") << qint64(12);
        QTest::newRow("no digits") << QByteArray("abc") << qint64(0);
        QTest::newRow("two signs") << QByteArray("+-1") << qint64(0);
        QTest::newRow("stops at blank") << QByteArray("1 2") << qint64(1);
        QTest::newRow("overflow") << QByteArray("99999999999999999999999") << std::numeric_limits<qint64>::max();
        QTest::newRow("negative overflow") << QByteArray("-99999999999999999999") << -std::numeric_limits<qint64>::max();
    }

    void leadingInteger()
    {
        QFETCH(QByteArray, text);
        QFETCH(qint64, value);
        QCOMPARE(LeadingInteger(text), value);
    }

    void countRules()
    {
        QVERIFY(QDir().mkdir(m_module));
        auto read = [&](const QByteArray &body) {
            WriteFile(m_module + "/t.ini", "[t]\r\n" + body);
            return ReadCommandSet(m_module, "t");
        };
        QCOMPARE(read("cmdnum=3\r\ncmd1=AT\r\ncmd3=ATI\r\n").commands, (QList<QByteArray>{"AT", "", "ATI"}));
        QVERIFY(read("cmdnum=-2\r\ncmd1=AT\r\n").commands.isEmpty());
        QVERIFY(read("cmd1=AT\r\n").commands.isEmpty());

        CommandSetContents set = read(kExampleFile.mid(kExampleFile.indexOf("\r\n") + 2).replace("=6", "=1000"));
        QCOMPARE(set.commands.size(), 1000);
        QCOMPARE(set.commands[5], QByteArray("AT+CMGD=1"));
        QVERIFY(set.commands.mid(6) == QList<QByteArray>(994));

        set = read("cmdnum=100000\r\ncmd100000=last\r\n");
        QCOMPARE(set.commands.size(), 100000);
        QCOMPARE(set.commands.last(), QByteArray("last"));

        for (const QByteArray &count : {QByteArray("100001"), QByteArray("99999999999999999999")}) {
            set = read("cmdnum=" + count + "\r\ncmd1=AT\r\n");
            QVERIFY(set.commands.isEmpty());
            QVERIFY2(set.error.contains(m_module + "/t.ini"), qPrintable(set.error));
        }
    }

    void saveWritesTheExactFormat()
    {
        QVERIFY(QDir().mkdir(m_module));
        QVERIFY(WriteFile(m_module + "/example.ini", "; old\r\n[other]\r\nkey=1\r\n"));
        const QList<QByteArray> example = {"AT", "ATE0", "AT+CMGF=1", "AT+CSCA?", "AT+CMGR=1", "AT+CMGD=1"};
        QCOMPARE(SaveCommandSet(m_module, "example", example), SaveResult::Saved);
        QCOMPARE(ReadFile(m_module + "/example.ini"), kExampleFile);

        QCOMPARE(SaveCommandSet(m_module, "empty", {}), SaveResult::Saved);
        QCOMPARE(ReadFile(m_module + "/empty.ini"), QByteArray("[empty]\r\ncmdnum=0\r\n"));

        // Long commands come back whole; line breaks cannot break the file.
        const QByteArray longCommand = "AT+CMGS=" + QByteArray(300, '7');
        QCOMPARE(SaveCommandSet(m_module, "long", {longCommand, "A\r\nB\rC\n"}), SaveResult::Saved);
        QCOMPARE(ReadCommandSet(m_module, "long").commands, (QList<QByteArray>{longCommand, "ABC"}));

        const QStringList before = QDir(m_module).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        QCOMPARE(SaveCommandSet(m_module, "", {"AT"}), SaveResult::NoName);
        QCOMPARE(QDir(m_module).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    }

    void failedSaveKeepsTheOldFile()
    {
        QVERIFY(QDir().mkdir(m_module));
        const QString path = m_module + "/keep.ini";
        const QByteArray old = "[keep]\r\ncmdnum=1\r\ncmd1=OLD\r\n";
        QVERIFY(WriteFile(path, old));
        const QList<QByteArray> many(2000, QByteArray(100, 'N'));
        QString error;

        // The write runs out of room half way (a file size limit works for
        // root too): the old file stays, no temporary file is left behind.
        rlimit saved {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 4096;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        const SaveResult result = SaveCommandSet(m_module, "keep", many, &error);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(result, SaveResult::Failed);
        QVERIFY(error.contains(path));
        QCOMPARE(ReadFile(path), old);
        QCOMPARE(QDir(m_module).entryList(QDir::Files | QDir::Hidden), QStringList{"keep.ini"});

        // A folder that is a plain file.
        QVERIFY(WriteFile(m_dir->path() + "/plain", "x"));
        QCOMPARE(SaveCommandSet(m_dir->path() + "/plain", "keep", many), SaveResult::Failed);

        // A read-only folder; root writes regardless, so only checked for others.
        if (::geteuid() != 0) {
            QVERIFY(::chmod(QFile::encodeName(m_module).constData(), 0555) == 0);
            QCOMPARE(SaveCommandSet(m_module, "keep", many), SaveResult::Failed);
            QCOMPARE(ReadFile(path), old);
        }
    }

    void chineseNamesAndCommandsRoundTrip()
    {
        QStringEncoder gbk("GBK");
        if (!gbk.isValid())
            QSKIP("no GBK converter");
        QVERIFY(QDir().mkdir(m_module));
        const QString name = QStringLiteral("短信模块");
        const QByteArray command = gbk.encode(QStringLiteral("AT+CMGS=\"你好，世界\""));
        QCOMPARE(SaveCommandSet(m_module, name, {command}), SaveResult::Saved);
        QCOMPARE(ListModuleFiles(m_module), QStringList{name});
        QVERIFY(ReadFile(m_module + "/" + name + ".ini").startsWith("[" + gbk.encode(name) + "]\r\n"));
        QCOMPARE(ReadCommandSet(m_module, name).commands, QList<QByteArray>{command});
        QCOMPARE(CommandSetSeparator(name, QDateTime(QDate(2013, 5, 1), QTime(9, 3, 7))),
                 "----- " + gbk.encode(name) + " 2013-05-01 09:03:07 -----\r\n");
    }

    void readerRules()
    {
        const QByteArray text = "key=before any section\r\n"
                                "  ; [example] a comment\r\n"
                                "[Example]\r\n"
                                "  Cmd1  =  AT+CSQ  \r\n"
                                "cmd1=second key of the name\r\n"
                                "cmd2=\"  quoted  \"\r"
                                "cmd3='single'\n"
                                "cmd4=\"mismatched'\r\n"
                                "cmd5=\"\r\n"
                                "cmd6 without equals\r\n"
                                "cmd7=a=b ; not a comment\r\n"
                                "[broken header\r\n"
                                "cmd8=still example\r\n"
                                "[EXAMPLE]\r\n"
                                "cmd9=later section of the same name\r\n"
                                "[a]b]\r\n"
                                "k=v\r\n"
                                "[\xB0\x41]\r\nk=upper trail\r\n"
                                "[\xB0\x61]\r\nk=lower trail\r\n";
        const IniReader ini = IniReader::FromBytes(text);
        const QByteArray none = "<none>";
        QCOMPARE(ini.Value("eXaMpLe", "CMD1", none), QByteArray("AT+CSQ"));
        QCOMPARE(ini.Value("example", "cmd2", none), QByteArray("  quoted  "));
        QCOMPARE(ini.Value("example", "cmd3", none), QByteArray("single"));
        QCOMPARE(ini.Value("example", "cmd4", none), QByteArray("\"mismatched'"));
        QCOMPARE(ini.Value("example", "cmd5", none), QByteArray("\""));
        QCOMPARE(ini.Value("example", "cmd6 without equals", none), none);
        QCOMPARE(ini.Value("example", "cmd7", none), QByteArray("a=b ; not a comment"));
        QCOMPARE(ini.Value("example", "cmd8", none), QByteArray("still example"));
        QCOMPARE(ini.Value("example", "cmd9", none), none);
        QCOMPARE(ini.Value("", "key", none), none);
        QCOMPARE(ini.Value("a]b", "k", none), QByteArray("v"));
        // The second byte of a double-byte character is not a letter.
        QCOMPARE(ini.Value("\xB0\x41", "k", none), QByteArray("upper trail"));
        QCOMPARE(ini.Value("\xB0\x61", "k", none), QByteArray("lower trail"));

        // Several keys in one pass, repeats and missing ones included.
        QCOMPARE(ini.Values("EXAMPLE", {"cmd3", "CMD1", "cmd9", "cmd3"}, none),
                 (QList<QByteArray>{"single", "AT+CSQ", none, "single"}));

        // Every line end: CR LF, LF, CR alone, LF CR.
        const IniReader ends = IniReader::FromBytes("[s]\rA=1\nB=2\r\n\rC=3\n\rD=4");
        QCOMPARE(ends.Value("s", "a") + ends.Value("s", "b") + ends.Value("s", "c") + ends.Value("s", "d"),
                 QByteArray("1234"));
    }

    void hostileFilesFinishQuickly()
    {
        QVERIFY(QDir().mkdir(m_module));
        QElapsedTimer timer;

        // A 10 MB line loads whole.
        const QByteArray huge(10 * 1024 * 1024, 'A');
        QVERIFY(WriteFile(m_module + "/line.ini", "[line]\r\ncmdnum=2\r\ncmd1=" + huge + "\r\ncmd2=AT\r\n"));
        timer.start();
        CommandSetContents set = ReadCommandSet(m_module, "line");
        QVERIFY(timer.elapsed() < kSecond);
        QCOMPARE(set.commands.size(), 2);
        QVERIFY(set.commands[0] == huge);

        // A binary file: random bytes after a few good lines.
        QByteArray junk(4 * 1024 * 1024, '\0');
        quint32 seed = 7;
        for (char &c : junk) {
            seed = seed * 1103515245 + 12345;
            c = char(seed >> 23);
        }
        QVERIFY(WriteFile(m_module + "/bin.ini", "[bin]\r\ncmdnum=99999\r\ncmd2= x \r\ncmd7=seven\r\n" + junk));
        timer.start();
        set = ReadCommandSet(m_module, "bin");
        QVERIFY(timer.elapsed() < kSecond);
        QCOMPARE(set.commands.size(), 99999);
        QCOMPARE(set.commands[1] + set.commands[6], QByteArray("xseven"));

        // Many sections, then many keys in the one asked for.
        QByteArray many;
        for (int i = 0; i < 200000; ++i)
            many += "[s" + QByteArray::number(i) + "]\nk=" + QByteArray::number(i) + "\n";
        many += "[wanted]\n";
        QList<QByteArray> keys;
        for (int i = 0; i < 200000; ++i) {
            many += "k" + QByteArray::number(i) + "=" + QByteArray::number(i) + "\n";
            if (i % 2)
                keys += "K" + QByteArray::number(i);
        }
        timer.start();
        const IniReader manyIni = IniReader::FromBytes(many);
        QCOMPARE(manyIni.Value("S199999", "k"), QByteArray("199999"));
        const QList<QByteArray> values = manyIni.Values("Wanted", keys);
        QVERIFY(timer.elapsed() < kSecond);
        QCOMPARE(values.size(), keys.size());
        QCOMPARE(values.last(), QByteArray("199999"));

        // Refused with a message naming the file: too large (sparse), a FIFO,
        // a folder; none of them may block.
        QFile big(m_module + "/big.ini");
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(IniReader::kMaxFileSize + 1));
        big.close();
        QVERIFY(::mkfifo(QFile::encodeName(m_module + "/pipe.ini").constData(), 0644) == 0);
        QVERIFY(QDir().mkdir(m_module + "/dir.ini"));
        timer.start();
        for (const char *name : {"big", "pipe", "dir"}) {
            set = ReadCommandSet(m_module, name);
            QVERIFY(set.commands.isEmpty());
            QVERIFY2(set.error.contains(m_module + "/" + name + ".ini"), qPrintable(set.error));
        }
        QVERIFY(timer.elapsed() < kSecond);
    }

    // How a command's bytes are shown, and which bytes an edit of the shown
    // text gives: what the edit did not touch keeps its bytes.
    void commandText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("edited");
        QTest::addColumn<QByteArray>("result");
        const QString ff = QStringLiteral("AT\\xFF");
        QTest::newRow("unchanged") << QByteArray("AT\xFF") << ff << ff << QByteArray("AT\xFF");
        QTest::newRow("typed before") << QByteArray("AT\xFF") << ff << QStringLiteral("ATI\\xFF")
                                      << QByteArray("ATI\xFF");
        QTest::newRow("typed after") << QByteArray("\xFF=1") << QStringLiteral("\\xFF=1")
                                     << QStringLiteral("\\xFF=12") << QByteArray("\xFF=12");
        QTest::newRow("escape deleted") << QByteArray("AT\xFF;") << QStringLiteral("AT\\xFF;")
                                        << QStringLiteral("AT;") << QByteArray("AT;");
        QTest::newRow("escape broken") << QByteArray("A\xFF") << QStringLiteral("A\\xFF")
                                       << QStringLiteral("A\\xF") << QByteArray("A\\xF");
        QTest::newRow("typed escape is text") << QByteArray("AT") << QStringLiteral("AT")
                                              << QStringLiteral("AT\\x41") << QByteArray("AT\\x41");
        QTest::newRow("gbk around an edit") << QByteArray("\xC4\xE3X\xBA\xC3") << QString::fromUtf8("你X好")
                                            << QString::fromUtf8("你Y中好")
                                            << QByteArray("\xC4\xE3Y\xD6\xD0\xBA\xC3");
        QTest::newRow("lone lead at the end") << QByteArray("AT\x81") << QStringLiteral("AT\\x81")
                                              << QStringLiteral("AT\\x81") << QByteArray("AT\x81");
        QTest::newRow("lead without trail") << QByteArray("\x81\x30") << QStringLiteral("\\x810")
                                            << QStringLiteral("\\x811") << QByteArray("\x81\x31");
        QTest::newRow("utf-8 text") << QByteArray("\"\xE4\xBD\xA0\"") << QString::fromUtf8("\"浣\\xA0\"")
                                    << QString::fromUtf8("\"浣\\xA0\"") << QByteArray("\"\xE4\xBD\xA0\"");
        QTest::newRow("control bytes") << QByteArray("AT\x1A\0", 4) << QString::fromLatin1("AT\x1A\0", 4)
                                       << QString::fromLatin1("AT\x1A\0", 4) << QByteArray("AT\x1A\0", 4);
        QTest::newRow("one more of the same") << QByteArray("AA") << QStringLiteral("AA") << QStringLiteral("AAA")
                                              << QByteArray("AAA");
        QTest::newRow("one less of the same") << QByteArray("AAA") << QStringLiteral("AAA") << QStringLiteral("AA")
                                              << QByteArray("AA");
        QTest::newRow("cleared") << QByteArray("AT\xFF") << ff << QString() << QByteArray();
        QTest::newRow("new command") << QByteArray() << QString() << QStringLiteral("AT") << QByteArray("AT");
    }

    void commandText()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        QFETCH(QString, edited);
        QFETCH(QByteArray, result);
        QCOMPARE(CommandDisplayText(bytes), shown);
        QCOMPARE(EditedCommandBytes(bytes, edited), result);
    }

    void thousandsOfFilesListQuickly()
    {
        QVERIFY(QDir().mkpath(m_module + "/a/b"));
        for (int i = 0; i < 3000; ++i)
            QVERIFY(WriteFile(m_module + (i % 3 ? "/" : "/a/b/") + QString::number(i) + ".ini", ""));
        QElapsedTimer timer;
        timer.start();
        const QStringList names = ListModuleFiles(m_module);
        QVERIFY(timer.elapsed() < kSecond);
        QCOMPARE(names.size(), 3000);
        QVERIFY(names.contains("2999") && names.contains("0"));
    }
};

QTEST_GUILESS_MAIN(TestCommandSetFiles)
#include "test_commandsetfiles.moc"
