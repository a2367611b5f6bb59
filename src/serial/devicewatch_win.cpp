#include "serial/devicewatch.h"

#include <QSerialPortInfo>
#include <QTimer>

#include <windows.h>

#include <dbt.h>

namespace {

// GUID_DEVINTERFACE_COMPORT (ntddser.h), written out: MinGW's import
// libraries do not all carry it.
constexpr GUID kComPortInterface = { 0x86E0D1E0, 0x8089, 0x11D0, { 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73 } };
constexpr wchar_t kWindowClass[] = L"qrvDeviceWatch";

QStringList PortList()
{
    QStringList ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports << info.portName() + u'\t' + info.serialNumber();
    ports.sort();
    return ports;
}

} // namespace

struct DeviceWatch::Platform
{
    DeviceWatch *owner;
    QTimer poll;
    QTimer settle;     // a second look after a notice: the list may lag it
    QStringList seen;  // the port list as last seen
    HWND window = nullptr;
    HDEVNOTIFY notification = nullptr;

    explicit Platform(DeviceWatch *w)
        : owner(w)
    {
        poll.setInterval(kPollMs);
        settle.setInterval(250);
        settle.setSingleShot(true);
        QObject::connect(&poll, &QTimer::timeout, w, [this] { look(); });
        QObject::connect(&settle, &QTimer::timeout, w, [this] { look(); });
    }

    ~Platform()
    {
        if (notification)
            ::UnregisterDeviceNotification(notification);
        if (window)
            ::DestroyWindow(window);
    }

    void look()
    {
        QStringList now = PortList();
        if (now == seen)
            return;
        seen = std::move(now);
        emit owner->changed();
    }

    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
            auto *self = reinterpret_cast<Platform *>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            if (self && self->poll.isActive()) {
                self->look();
                self->settle.start();
            }
            return TRUE;
        }
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }

    // A message-only window, registered for the COM port interface's
    // arrivals and removals. Without it (it could not be made) the poll
    // still sees every change, only later.
    void listen()
    {
        if (window)
            return;
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        WNDCLASSEXW wc {};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = instance;
        wc.lpszClassName = kWindowClass;
        ::RegisterClassExW(&wc); // fails harmlessly when already registered
        window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
        if (!window)
            return;
        ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        DEV_BROADCAST_DEVICEINTERFACE_W filter {};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = kComPortInterface;
        notification = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
};

DeviceWatch::DeviceWatch(QObject *parent)
    : QObject(parent)
    , m_platform(std::make_unique<Platform>(this))
{
}

DeviceWatch::~DeviceWatch() = default;

void DeviceWatch::watch(const QStringList &folders)
{
    Platform &p = *m_platform;
    m_folders = folders;
    // What the list was when the watch was set is no news: whoever watches
    // looks once it is set.
    p.seen = PortList();
    p.settle.stop();
    if (folders.isEmpty()) {
        p.poll.stop();
        return;
    }
    p.listen();
    p.poll.start();
}

bool DeviceWatch::isWatching() const
{
    return m_platform->poll.isActive();
}
