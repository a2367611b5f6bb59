// Why a port did not open: the session's classification of real failures
// on missing paths, files that are no terminal and pseudo-terminals (never a
// real serial device).
#include "ptypair.h"
#include "fakedevicetree.h"
#include "serial/deviceidentity.h"
#include "serial/devicewatch.h"
#include "serial/reconnector.h"
#include "serial/serialsession.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using Cause = PortOpenFailure::Cause;

// Lowers capabilities in this thread's effective set while it lives, so that
// root meets the checks an ordinary user meets: file modes (CAP_DAC_*,
// CAP_FOWNER) and a terminal's exclusive mode (CAP_SYS_ADMIN). A user who
// has none of them keeps running as before.
class WithoutCapabilities
{
public:
    WithoutCapabilities()
    {
        if (::syscall(SYS_capget, &m_header, m_saved) != 0)
            return;
        __user_cap_data_struct lowered[2];
        std::memcpy(lowered, m_saved, sizeof lowered);
        for (int cap : { CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER, CAP_SYS_ADMIN })
            lowered[CAP_TO_INDEX(cap)].effective &= ~CAP_TO_MASK(cap);
        m_active = ::syscall(SYS_capset, &m_header, lowered) == 0;
    }
    ~WithoutCapabilities()
    {
        if (m_active)
            ::syscall(SYS_capset, &m_header, m_saved);
    }
    WithoutCapabilities(const WithoutCapabilities &) = delete;
    WithoutCapabilities &operator=(const WithoutCapabilities &) = delete;
    bool Active() const { return m_active; }

private:
    __user_cap_header_struct m_header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct m_saved[2] {};
    bool m_active = false;
};

SerialSettings Port(const QString &path)
{
    SerialSettings s;
    s.portName = path;
    return s;
}

QString GroupOf(gid_t gid)
{
    const group *g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString();
}

} // namespace

class TestPortOpen : public QObject
{
    Q_OBJECT

    // Opens path with a fresh session, expecting the open to fail.
    static PortOpenFailure FailedOpen(const QString &path)
    {
        SerialSession session;
        const SerialSession::OpenResult result = session.Open(Port(path));
        if (result != SerialSession::OpenResult::Failed)
            qWarning("%s: expected a failed open, got %d", qPrintable(path), int(result));
        if (session.IsOpen())
            session.Close();
        return session.OpenFailure();
    }

    QTemporaryDir m_dir;

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void missingDevice_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("devicePath");
        const QString gone = m_dir.filePath(QStringLiteral("ttyUSB0"));
        QTest::newRow("no such path") << gone << gone;
        const QString link = m_dir.filePath(QStringLiteral("dangling"));
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("ttyACM7")), link));
        QTest::newRow("link to nothing") << link << link;
        QFile file(m_dir.filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QTest::newRow("below a file") << file.fileName() + "/tty" << file.fileName() + "/tty";
        const QString bare = QStringLiteral("qrv-absent-%1").arg(::getpid());
        QTest::newRow("bare name under /dev") << bare << "/dev/" + bare;
    }
    void missingDevice()
    {
        QFETCH(QString, entry);
        QFETCH(QString, devicePath);
        const PortOpenFailure f = FailedOpen(entry);
        QCOMPARE(f.cause, Cause::NoSuchDevice);
        QCOMPARE(f.devicePath, devicePath);
        QCOMPARE(f.Explanation(),
                 devicePath + ": no such device. Is the module plugged in, and is the path right?");
    }

    void notASerialDevice_data()
    {
        QTest::addColumn<QString>("path");
        QFile file(m_dir.filePath(QStringLiteral("log.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QTest::newRow("regular file") << file.fileName();
        QTest::newRow("directory") << m_dir.path();
        const QString fifo = m_dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QTest::newRow("fifo") << fifo;
        QTest::newRow("/dev/null") << QStringLiteral("/dev/null");
        QTest::newRow("/dev/zero") << QStringLiteral("/dev/zero");
    }
    void notASerialDevice()
    {
        QFETCH(QString, path);
        const PortOpenFailure f = FailedOpen(path);
        QCOMPARE(f.cause, Cause::NotSerialDevice);
        QCOMPARE(f.Explanation(), path
                 + " is not a serial device. Pick the module's port, such as /dev/ttyUSB0 or /dev/ttyACM0.");
    }

    // A device the user may not open, told apart from one in use (QSerialPort
    // gives PermissionError for both). As root the test lowers its
    // capabilities so that file modes apply to it as to anyone.
    void permissionDenied()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        const QByteArray path = QFile::encodeName(pty.slavePath());
        QCOMPARE(::chmod(path, 0), 0);
        WithoutCapabilities unprivileged;
        if (const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK); fd >= 0 || !unprivileged.Active()) {
            if (fd >= 0)
                ::close(fd);
            QSKIP("cannot give up the capabilities that override file modes (CAP_DAC_OVERRIDE)");
        }

        // No one may read or write it: the advice names Debian's group.
        PortOpenFailure f = FailedOpen(pty.slavePath());
        QCOMPARE(f.cause, Cause::PermissionDenied);
        QVERIFY(f.group.isEmpty());
        QCOMPARE(f.Explanation(), pty.slavePath()
                 + ": permission denied. Add yourself to the group dialout (sudo adduser $USER dialout), "
                   "then log out and log in again.");

        // Its group may: the advice names that group. Root gives the device
        // to "tty", anyone else to a group of their own.
        const gid_t gid = ::geteuid() == 0 ? (::getgrnam("tty") ? ::getgrnam("tty")->gr_gid : 0) : ::getegid();
        if (gid == 0 || ::chown(path, uid_t(-1), gid) != 0 || ::chmod(path, 0060) != 0)
            QSKIP("no group other than root to give the pty to");
        const QString groupName = GroupOf(gid);
        QVERIFY(!groupName.isEmpty() && groupName != QLatin1String("dialout"));
        f = FailedOpen(pty.slavePath());
        QCOMPARE(f.cause, Cause::PermissionDenied);
        QCOMPARE(f.group, groupName);
        QVERIFY2(f.Explanation().contains(QStringLiteral("group %1 (sudo adduser $USER %1)").arg(groupName)),
                 qPrintable(f.Explanation()));

        // Given back to its owner, the same device opens.
        QCOMPARE(::chmod(path, 0600), 0);
        SerialSession session;
        QCOMPARE(session.Open(Port(pty.slavePath())), SerialSession::OpenResult::Opened);
        QCOMPARE(session.OpenFailure().cause, Cause::None);
        session.Close();
    }

    // Held by another program, through its lock file or its exclusive
    // open: "in use", and who holds it where the system tells.
    void portInUse()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        {
            QSerialPort holder;
            holder.setPortName(pty.slavePath());
            QVERIFY(holder.open(QIODevice::ReadWrite));
            const PortOpenFailure f = FailedOpen(pty.slavePath());
            QCOMPARE(f.cause, Cause::InUse);
            QCOMPARE(f.Explanation(), QStringLiteral("%1 is held by %2 (pid %3)")
                                          .arg(pty.slavePath(), OwnCommandName())
                                          .arg(QCoreApplication::applicationPid()));
        }

        // A program without a lock file that set TIOCEXCL: the open gives
        // EBUSY to anyone without CAP_SYS_ADMIN.
        const int fd = ::open(QFile::encodeName(pty.slavePath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        QCOMPARE(::ioctl(fd, TIOCEXCL), 0);
        {
            WithoutCapabilities unprivileged;
            if (!unprivileged.Active()) {
                ::close(fd);
                QSKIP("cannot give up CAP_SYS_ADMIN, which overrides a terminal's exclusive mode");
            }
            const PortOpenFailure f = FailedOpen(pty.slavePath());
            QCOMPARE(f.cause, Cause::InUse);
        }
        ::close(fd);
    }

    // Every process with the device open is found, by the device and not by
    // the name it was opened under; ModemManager gets a word on keeping it off.
    void holdersOfADevice()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        const QString link = m_dir.filePath(QStringLiteral("by-id-link"));
        QVERIFY(QFile::link(pty.slavePath(), link));
        QProcess sleeper;
        sleeper.setStandardInputFile(link);
        sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(sleeper.waitForStarted());
        // The pair itself keeps the slave open too: this process is listed.
        bool sleeperFound = false;
        bool selfFound = false;
        for (const PortHolder &h : PortHolders(pty.slavePath())) {
            sleeperFound = sleeperFound || (h.pid == sleeper.processId() && h.name == QLatin1String("sleep"));
            selfFound = selfFound || h.pid == QCoreApplication::applicationPid();
        }
        sleeper.kill();
        sleeper.waitForFinished();
        QVERIFY(sleeperFound);
        QVERIFY(selfFound);
        QVERIFY(PortHolders(m_dir.filePath(QStringLiteral("nothing"))).isEmpty());

        const QString mm = PortHoldersText(QStringLiteral("/dev/ttyUSB2"), {{812, QStringLiteral("ModemManager")}});
        QVERIFY(mm.startsWith(QStringLiteral("/dev/ttyUSB2 is held by ModemManager (pid 812)\n")));
        QVERIFY(mm.contains(QLatin1String("ID_MM_DEVICE_IGNORE=1")));
        QCOMPARE(PortHoldersText(QStringLiteral("/dev/ttyUSB2"), {{1, QStringLiteral("a")}, {2, QStringLiteral("b")}}),
                 QStringLiteral("/dev/ttyUSB2 is held by a (pid 1), b (pid 2)"));
        QCOMPARE(PortHoldersText(QStringLiteral("/dev/ttyUSB2"), {}), QString());
    }

    // A USB module found again after it left: by its by-id link, or by its
    // USB properties when it came back as another ttyUSBn without one; a
    // link the user gave is followed as it stands.
    void identityFindsTheDeviceUnderAnotherName()
    {
        FakeDeviceTree tree;
        PtyPair a, b;
        const QString byId = QStringLiteral("usb-Quectel_EC25_ABC-if02-port0");
        tree.addUsbTty(QStringLiteral("ttyUSB2"), a.slavePath(), QStringLiteral("ABC"), 2, byId);
        tree.addUsbTty(QStringLiteral("ttyUSB3"), b.slavePath(), QStringLiteral("ABC"), 3);
        const DeviceRoots roots {tree.dev(), tree.sys()};
        const DeviceIdentity id = DeviceIdentity::of(tree.dev() + QStringLiteral("/ttyUSB2"), roots);
        QVERIFY(!id.isLink); // a tty node of the tree, not a link of the user
        QCOMPARE(id.vendorId, QStringLiteral("2c7c"));
        QCOMPARE(id.serial, QStringLiteral("ABC"));
        QCOMPARE(id.interface, QStringLiteral("02"));
        QCOMPARE(id.byId, tree.dev() + QStringLiteral("/serial/by-id/") + byId);
        QCOMPARE(id.describe(), QStringLiteral("Quectel EC25, interface 2 (") + byId + u')');
        QVERIFY(id.folders().contains(tree.dev()));
        QVERIFY(id.folders().contains(tree.dev() + QStringLiteral("/serial/by-id")));

        // Gone: nothing found, not even the other interface of the module.
        tree.remove(QStringLiteral("ttyUSB2"), byId);
        QCOMPARE(id.locate(), QString());
        // Back as ttyUSB5, with no by-id link yet: found by its properties.
        PtyPair c;
        tree.addUsbTty(QStringLiteral("ttyUSB5"), c.slavePath(), QStringLiteral("ABC"), 2);
        QCOMPARE(id.locate(), tree.dev() + QStringLiteral("/ttyUSB5"));
        // Then its by-id link is there: that is what is opened.
        QVERIFY(QFile::link(QStringLiteral("../../ttyUSB5"), tree.dev() + QStringLiteral("/serial/by-id/") + byId));
        QCOMPARE(id.locate(), id.byId);
        // Another module (another serial number) on the same interface is not it.
        tree.remove(QStringLiteral("ttyUSB5"), byId);
        tree.addUsbTty(QStringLiteral("ttyUSB6"), c.slavePath(), QStringLiteral("XYZ"), 2);
        QCOMPARE(id.locate(), QString());

        // A link given by the user is what it stands for, whatever it points at.
        const QString link = m_dir.filePath(QStringLiteral("module-link"));
        QVERIFY(QFile::link(a.slavePath(), link));
        const DeviceIdentity linked = DeviceIdentity::of(link, roots);
        QVERIFY(linked.isLink);
        // Left as it was, the link leads to the pty it led to when the port
        // opened: after a loss that number belongs to whichever pty was made
        // next, another program's, so it is not the device.
        QCOMPARE(linked.locate(), QString());
        QFile::remove(link);
        QCOMPARE(linked.locate(), QString());
        QVERIFY(QFile::link(b.slavePath(), link));
        QCOMPARE(linked.locate(), link);
        // Re-pointed at a pty of that same number, it is the user's word again.
        QVERIFY(PointLink(link, a.slavePath()));
        QCOMPARE(linked.locate(), link);
        QFile::remove(link);
        // A pty without a link is never found again: its number goes to the next pty.
        QCOMPARE(DeviceIdentity::of(a.slavePath()).locate(), QString());
    }

    // Modules without a serial number are the same but for where they are
    // plugged in: a module that resets is found at its own USB port, never
    // as its neighbour, even when the by-id name (the same for both) has
    // gone over to the neighbour. One with a serial number is itself at any
    // port.
    void identityOfAModuleWithoutASerialNumberIsWhereItIs()
    {
        FakeDeviceTree tree;
        PtyPair a, b, c;
        const QString byId = QStringLiteral("usb-Quectel_EC25-if02-port0");
        tree.addUsbTtyAt(QStringLiteral("1-1.2"), QStringLiteral("ttyUSB2"), a.slavePath(), QString(), 2, byId);
        tree.addUsbTtyAt(QStringLiteral("1-1.3"), QStringLiteral("ttyUSB6"), b.slavePath(), QString(), 2);
        const DeviceRoots roots {tree.dev(), tree.sys()};
        const DeviceIdentity id = DeviceIdentity::of(tree.dev() + QStringLiteral("/ttyUSB2"), roots);
        QVERIFY(id.isUsb());
        QCOMPARE(id.serial, QString());
        QCOMPARE(id.locate(), id.byId);

        // It resets: its neighbour, with the same vendor, product, empty
        // serial and interface, is not it.
        tree.remove(QStringLiteral("ttyUSB2"), byId);
        QCOMPARE(id.locate(), QString());
        // udev gives the shared by-id name to the neighbour: still not it.
        QVERIFY(QFile::link(QStringLiteral("../../ttyUSB6"), tree.dev() + QStringLiteral("/serial/by-id/") + byId));
        QCOMPARE(id.locate(), QString());
        // Back at its own port under another name: found there.
        tree.addUsbTtyAt(QStringLiteral("1-1.2"), QStringLiteral("ttyUSB9"), c.slavePath(), QString(), 2);
        QCOMPARE(id.locate(), tree.dev() + QStringLiteral("/ttyUSB9"));
        // The by-id name back on it: that is opened.
        QVERIFY(PointLink(tree.dev() + QStringLiteral("/serial/by-id/") + byId, QStringLiteral("../../ttyUSB9")));
        QCOMPARE(id.locate(), id.byId);

        // A serial number is the module wherever it is plugged in.
        tree.addUsbTtyAt(QStringLiteral("1-4"), QStringLiteral("ttyUSB0"), a.slavePath(), QStringLiteral("ABC"), 2);
        const DeviceIdentity numbered = DeviceIdentity::of(tree.dev() + QStringLiteral("/ttyUSB0"), roots);
        tree.remove(QStringLiteral("ttyUSB0"));
        QCOMPARE(numbered.locate(), QString());
        tree.addUsbTtyAt(QStringLiteral("1-5"), QStringLiteral("ttyUSB1"), b.slavePath(), QStringLiteral("ABC"), 2);
        QCOMPARE(numbered.locate(), tree.dev() + QStringLiteral("/ttyUSB1"));
    }

    // The watch tells of entries made in a folder, also in one that did not
    // exist when the watch began.
    void watchSeesAFolderThatComesLater()
    {
        QTemporaryDir dir;
        const QString byId = dir.filePath(QStringLiteral("serial/by-id"));
        DeviceWatch watch;
        watch.watch({byId});
        QVERIFY(watch.isWatching());
        QSignalSpy changed(&watch, &DeviceWatch::changed);
        QVERIFY(QDir().mkpath(byId));
        QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 1000);
        changed.clear();
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), byId + QStringLiteral("/usb-x")));
        QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 1000);
        // Nothing happens, nothing is told.
        changed.clear();
        QTest::qWait(100);
        QVERIFY(changed.isEmpty());
        watch.watch({});
        QVERIFY(!watch.isWatching());
    }

    // A device that is back but held by another program is tried a few
    // times and then left until the next notice: the tries run out, and
    // the device released without a notice is not opened behind the
    // user's back by a poll that never ended.
    void retriesRunOutWhileAnotherProgramHoldsTheDevice()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("module"));
        PtyPair lost, back;
        QVERIFY(PointLink(link, lost.slavePath()));
        SerialSession session;
        Reconnector reconnector(session);
        reconnector.remember(Port(link));
        // Back behind the link, opened exclusively by another program (its
        // lock file, and TIOCEXCL, which root is held to without CAP_SYS_ADMIN).
        WithoutCapabilities unprivileged;
        QSerialPort holder;
        holder.setPortName(link);
        QVERIFY(PointLink(link, back.slavePath()));
        QVERIFY(holder.open(QIODevice::ReadWrite));
        QCOMPARE(session.Open(Port(link)), SerialSession::OpenResult::Failed);

        QSignalSpy opened(&reconnector, &Reconnector::back);
        QElapsedTimer clock;
        clock.start();
        reconnector.begin();
        const int bound = (Reconnector::kRetries + 5) * Reconnector::kRetryMs;
        QTRY_VERIFY_WITH_TIMEOUT(!reconnector.isRetrying(), bound);
        const qint64 took = clock.elapsed();
        QCOMPARE(reconnector.attempts(), Reconnector::kRetries + 1);
        QVERIFY2(took >= (Reconnector::kRetries - 1) * Reconnector::kRetryMs, qPrintable(QString::number(took)));
        QVERIFY(reconnector.isWaiting()); // for the next notice
        QVERIFY(opened.isEmpty());

        // Let go without a notice: nothing tries it any more.
        holder.close();
        QTest::qWait(3 * Reconnector::kRetryMs);
        QVERIFY(opened.isEmpty());
        QVERIFY(!session.IsOpen());
        QCOMPARE(reconnector.attempts(), Reconnector::kRetries + 1);

        // A notice (the link made again) starts the tries afresh: open.
        QVERIFY(PointLink(link, back.slavePath()));
        QTRY_COMPARE_WITH_TIMEOUT(opened.size(), 1, 2000);
        QVERIFY(session.IsOpen());
        QVERIFY(!reconnector.isWaiting());
        session.Close();
    }

    void writeGoesOutWholeAndInOrder()
    {
        PtyPair pty;
        SerialSession session;
        QCOMPARE(session.Open(Port(pty.slavePath())), SerialSession::OpenResult::Opened);
        QByteArray a(3000, 'a'), b(3000, 'b');
        QCOMPARE(session.Write(a.constData(), a.size()), qint64(a.size()));
        QCOMPARE(session.Write(b.constData(), b.size()), qint64(b.size()));
        QCOMPARE(pty.read(6000), a + b);
        session.Close();
    }

    // What is not classified is told in the system's words.
    void otherFailuresKeepTheSystemsText()
    {
        PortOpenFailure f;
        f.cause = Cause::Other;
        f.devicePath = QStringLiteral("/dev/ttyUSB3");
        f.systemText = QStringLiteral("Read-only file system");
        QCOMPARE(f.Explanation(), QStringLiteral("/dev/ttyUSB3: Read-only file system"));
        f.systemText.clear();
        QCOMPARE(f.Explanation(), QStringLiteral("/dev/ttyUSB3: the port could not be opened."));
        f.cause = Cause::None;
        QCOMPARE(f.Explanation(), QString());
    }
};

QTEST_GUILESS_MAIN(TestPortOpen)
#include "test_portopen.moc"
