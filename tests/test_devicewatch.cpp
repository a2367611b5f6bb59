// The Windows device watch: a port the system announces is looked for at
// once, and one it does not announce is found by the poll. A port is made
// by naming it in the registry's map of serial devices (Wine lists those;
// on Windows it takes an administrator), and announced by sending the
// watch's window the system's notice.
#include "serial/devicewatch.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSerialPortInfo>
#include <QSignalSpy>
#include <QTest>

#include <windows.h>

#include <dbt.h>

namespace {

const wchar_t kMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const wchar_t kDevice[] = L"\\Device\\QrvTestSerial0";

bool Listed(const QString &name)
{
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        if (info.portName() == name)
            return true;
    return false;
}

bool SetMapEntry(const wchar_t *port)
{
    HKEY key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMap, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
        return false;
    const LSTATUS status = port ? ::RegSetValueExW(key, kDevice, 0, REG_SZ, reinterpret_cast<const BYTE *>(port),
                                                   DWORD((wcslen(port) + 1) * sizeof(wchar_t)))
                                : ::RegDeleteValueW(key, kDevice);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The notice Windows sends a window registered for the COM port interface.
void Announce(WPARAM what)
{
    const HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, L"qrvDeviceWatch", nullptr);
    QVERIFY2(window, "the watch has no notice window");
    DEV_BROADCAST_DEVICEINTERFACE_W notice {};
    notice.dbcc_size = sizeof notice;
    notice.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    notice.dbcc_classguid = { 0x86E0D1E0, 0x8089, 0x11D0, { 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73 } };
    ::SendMessageW(window, WM_DEVICECHANGE, what, reinterpret_cast<LPARAM>(&notice));
}

} // namespace

class TestDeviceWatch : public QObject
{
    Q_OBJECT
private slots:
    void noticesAndThePoll()
    {
        const QString port = QStringLiteral("COM47");
        if (Listed(port))
            QSKIP("COM47 exists here");
        auto cleanup = qScopeGuard([] { SetMapEntry(nullptr); });

        DeviceWatch watch;
        QSignalSpy changes(&watch, &DeviceWatch::changed);
        watch.watch({ QStringLiteral("ports") });
        QElapsedTimer sinceWatch;
        sinceWatch.start();
        QVERIFY(watch.isWatching());

        // An announced arrival is seen within the notice, before any poll.
        if (!SetMapEntry(L"COM47"))
            QSKIP("the registry's serial map cannot be written here");
        if (!Listed(port))
            QSKIP("this system does not list the registry's serial map");
        QCOMPARE(changes.count(), 0);
        Announce(DBT_DEVICEARRIVAL);
        QCOMPARE(changes.count(), 1);
        QVERIFY2(sinceWatch.elapsed() < DeviceWatch::kPollMs, "too slow to tell the notice from the poll");
        // The second look after it finds nothing new.
        QTest::qWait(400);
        QCOMPARE(changes.count(), 1);

        // Gone without a notice: the poll finds it.
        QVERIFY(SetMapEntry(nullptr));
        QTRY_COMPARE_WITH_TIMEOUT(changes.count(), 2, 3 * DeviceWatch::kPollMs);

        // Stopped, it tells nothing, notices or not.
        watch.watch({});
        QVERIFY(!watch.isWatching());
        QVERIFY(SetMapEntry(L"COM47"));
        Announce(DBT_DEVICEARRIVAL);
        QTest::qWait(2 * DeviceWatch::kPollMs);
        QCOMPARE(changes.count(), 2);
    }
};

QTEST_GUILESS_MAIN(TestDeviceWatch)
#include "test_devicewatch.moc"
