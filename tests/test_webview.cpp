// The web panel: its built-in page, and the embedded view from the plugin with
// Qt WebEngine running (its own processes). The view needs OpenGL: CTest runs
// this once on the offscreen platform (no OpenGL: the built-in page only) and
// once under xvfb-run (the view itself). A local web server stands in for the
// maker's site. The process runs in a home folder of its own, so that what
// the web engine writes there can be seen.
#include "console/terminaldialog.h"
#include "shell/webpanel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDirIterator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QWindow>
#include <QtTest>

#include <unistd.h>

namespace {

QTemporaryDir *s_home = nullptr;

bool WebEngineMapped()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return false;
    return maps.readAll().contains("libQt6WebEngine");
}

// Answers every request for "/" with `page`, anything else with 404.
class TinyWebServer : public QTcpServer
{
public:
    explicit TinyWebServer(const QByteArray &page) : m_page(page)
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    m_buffers[s] += s->readAll();
                    if (!m_buffers[s].contains("\r\n\r\n"))
                        return;
                    const QByteArray path = m_buffers[s].split(' ').value(1);
                    requests << path;
                    const bool found = path == "/";
                    const QByteArray body = found ? m_page : QByteArray("not here");
                    s->write((found ? "HTTP/1.0 200 OK\r\n" : "HTTP/1.0 404 Not Found\r\n")
                             + QByteArray("Content-Type: text/html\r\nContent-Length: ")
                             + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                    s->disconnectFromHost();
                    m_buffers.remove(s);
                });
            }
        });
    }
    QString address() const { return QStringLiteral("http://127.0.0.1:%1/").arg(serverPort()); }
    QByteArrayList requests;

private:
    QByteArray m_page;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

// Stands in for the system's browser.
class Browser : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened << url; }
};

struct PanelWindow
{
    QWidget window;
    WebPanel *panel;
    PanelWindow()
    {
        auto *layout = new QVBoxLayout(&window);
        panel = new WebPanel(&window);
        layout->addWidget(panel);
        window.resize(300, 600);
    }
    QString pageText() const { return panel->findChild<QTextBrowser *>(QStringLiteral("builtInPage"))->toPlainText(); }
    bool pageVisible() const { return panel->findChild<QTextBrowser *>(QStringLiteral("builtInPage"))->isVisible(); }
};

bool Offscreen()
{
    return QGuiApplication::platformName() == QLatin1String("offscreen");
}

} // namespace

class TestWebView : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // The sandbox cannot run as root (as on build machines); the tests of
        // the view turn it off as a user would have to.
        qunsetenv("QTWEBENGINE_DISABLE_SANDBOX");
    }

    // The main window's panel: the built-in page with the address, the Help
    // text and the colour rules of the receive view.
    void builtInPageInTheWindow()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        SessionLog log;
        TerminalDialog d(log);
        auto *panel = d.findChild<WebPanel *>(QStringLiteral("webPanel"));
        QVERIFY(panel);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QCOMPARE(panel->NavigateCount(), 1);
        auto *page = panel->findChild<QTextBrowser *>(QStringLiteral("builtInPage"));
        QVERIFY(page && page->isVisible());
        const QString text = page->toPlainText();
        QVERIFY(text.contains(QLatin1String("http://www.example.com/qrv/")));
        QVERIFY(text.contains(QStringLiteral("cmdnum=6 --命令总行数")));
        QVERIFY(text.contains(QLatin1String("Keywords")));
        QVERIFY(text.contains(QLatin1String("MIPOPEN")));
        QVERIFY(text.contains(QLatin1String("the word rem")));
        QVERIFY(page->toHtml().contains(QLatin1String("#0000ff"))); // keywords' blue
        if (Offscreen())
            QVERIFY(panel->Status().contains(::geteuid() == 0 ? QLatin1String("runs as root")
                                                              : QLatin1String("no OpenGL")));
        QVERIFY(!WebEngineMapped());
    }

    // A host that does not resolve: the built-in page says so and offers to
    // try again; the web engine is never loaded.
    void hostDoesNotResolve()
    {
        if (Offscreen())
            QSKIP("needs OpenGL");
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        PanelWindow w;
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        QElapsedTimer clock;
        clock.start();
        w.panel->Navigate(QStringLiteral("http://qrv-panel-test.invalid/page"));
        QVERIFY(w.panel->ChecksReachability());
        QVERIFY(w.pageText().contains(QLatin1String("Finding out")));
        QTRY_VERIFY_WITH_TIMEOUT(!w.panel->ChecksReachability(), 6000);
        QVERIFY2(w.panel->Status().contains(QLatin1String("cannot find the page's host")),
                 qPrintable(w.panel->Status()));
        QVERIFY(clock.elapsed() < 5000);
        QVERIFY(w.pageVisible());
        QVERIFY(w.pageText().contains(QLatin1String("http://qrv-panel-test.invalid/page")));
        QVERIFY(w.pageText().contains(QLatin1String("Try again")));
        QTest::qWait(300);
        QVERIFY(!w.panel->ShowsWebView());
        QVERIFY(!WebEngineMapped());

        // Trying again runs the check again, with the same answer.
        auto *page = w.panel->findChild<QTextBrowser *>(QStringLiteral("builtInPage"));
        emit page->anchorClicked(QUrl(QStringLiteral("action:retry")));
        QVERIFY(w.panel->ChecksReachability());
        QTRY_VERIFY_WITH_TIMEOUT(!w.panel->ChecksReachability(), 6000);
        QVERIFY(w.panel->Status().contains(QLatin1String("cannot find")));
        QVERIFY(!WebEngineMapped());
    }

    // As root, without the sandbox switched off by the user, no web view even
    // for a page that answers.
    void asRootTheBuiltInPage()
    {
        if (::geteuid() != 0)
            QSKIP("runs as root only");
        TinyWebServer server("<p>hello</p>");
        QVERIFY(server.listen(QHostAddress::LocalHost));
        PanelWindow w;
        w.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        w.panel->Navigate(server.address());
        QVERIFY(!w.panel->ChecksReachability());
        QVERIFY(w.panel->Status().contains(QLatin1String("runs as root")));
        QVERIFY(w.pageText().contains(server.address()));
        QTest::qWait(500);
        QVERIFY(!w.panel->ShowsWebView());
        QVERIFY(server.requests.isEmpty());
        QVERIFY(!WebEngineMapped());
    }

    // A page that answers is shown in the view, inside the panel; a link to
    // another site opens in the browser and the panel keeps its page.
    void localPageShown()
    {
        if (Offscreen())
            QSKIP("needs OpenGL");
        if (::geteuid() == 0)
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        TinyWebServer server("<html><body onload=\"setTimeout(function(){document.getElementById('out').click()},300)\">"
                             "<p>The maker's page</p><a id=\"out\" href=\"http://elsewhere.invalid/more\">more</a>"
                             "</body></html>");
        QVERIFY(server.listen(QHostAddress::LocalHost));
        Browser browser;
        QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "open");
        auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("http")); });
        {
            PanelWindow w;
            w.window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w.window));
            QVERIFY(!WebEngineMapped());
            w.panel->Navigate(server.address());
            QTRY_VERIFY_WITH_TIMEOUT(w.panel->ShowsWebView(), 20000);
            QVERIFY(WebEngineMapped());
            QCOMPARE(w.panel->PageUrl(), QUrl(server.address()));
            QVERIFY(!w.pageVisible());
            QCOMPARE(w.panel->Status(), QStringLiteral("The page is shown."));

            // The view's window sits inside the panel, not as a window of its
            // own.
            QWindow *host = nullptr;
            for (QWindow *win : QGuiApplication::allWindows())
                if (win->parent() == w.window.windowHandle() && win->isVisible())
                    host = win;
            QVERIFY(host);
            const QRect area(w.panel->mapTo(&w.window, QPoint()), w.panel->size());
            QVERIFY(area.contains(host->geometry()));
            QVERIFY(host->width() > w.panel->width() - 10);
            for (QWindow *win : QGuiApplication::topLevelWindows())
                QVERIFY2(!win->isVisible() || win == w.window.windowHandle(), qPrintable(win->objectName()));

            QTRY_COMPARE_WITH_TIMEOUT(browser.opened.size(), 1, 10000);
            QCOMPARE(browser.opened.first(), QUrl(QStringLiteral("http://elsewhere.invalid/more")));
            QTest::qWait(500);
            QVERIFY(w.panel->ShowsWebView());
            QCOMPARE(w.panel->PageUrl(), QUrl(server.address()));
            QCOMPARE(w.panel->NavigateCount(), 1);
        }
        unset.dismiss();
        QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

        // The profile is off the record: nothing under the home folder.
        QStringList written;
        QDirIterator it(s_home->path(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            written << it.next();
        QVERIFY2(written.isEmpty(), qPrintable(written.join(QLatin1Char('\n'))));
    }
};

int main(int argc, char **argv)
{
    QTemporaryDir home;
    s_home = &home;
    qputenv("HOME", home.path().toLocal8Bit());
    for (const char *name : { "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME" })
        qunsetenv(name);
    WebPanel::PrepareApplication(); // as the program does
    QApplication app(argc, argv);
    TestWebView test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_webview.moc"
