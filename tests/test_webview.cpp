// The web panel's embedded view, with Qt WebEngine running (its own
// processes; the sandbox is off as root, as on build machines). Run on a
// display with OpenGL (CTest runs it under xvfb-run); on the offscreen
// platform, which has no OpenGL, the panel must fall back to its link.
#include "console/terminaldialog.h"
#include "shell/webpanel.h"

#include <QApplication>
#include <QLabel>
#include <QWebEngineView>
#include <QWindow>
#include <QtTest>

#include <unistd.h>

class TestWebView : public QObject
{
    Q_OBJECT

private slots:
    void viewInsidePanel()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        SessionLog log;
        TerminalDialog d(log);
        auto *panel = d.findChild<WebPanel *>(QStringLiteral("webPanel"));
        QVERIFY(panel);
        QVERIFY(!panel->ShowsWebView()); // not before the window is on screen
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
            QTest::qWait(300);
            QVERIFY(!panel->ShowsWebView());
            auto *link = panel->findChild<QLabel *>();
            QVERIFY(link && link->isVisible());
            QVERIFY(link->text().contains(QLatin1String("http://www.example.com/qrv/")));
            return;
        }
        QTRY_VERIFY(panel->ShowsWebView());
        auto *view = d.findChild<QWebEngineView *>();
        // The view lives in a window of its own that is not one of the dialog's
        // widgets: found from the application, not the dialog.
        QVERIFY(!view);
        QWebEngineView *hosted = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *found = w->findChild<QWebEngineView *>())
                hosted = found;
        QVERIFY(hosted);
        QTRY_COMPARE_WITH_TIMEOUT(hosted->url(), QUrl(QStringLiteral("http://www.example.com/qrv/")), 20000);

        // Its window sits inside the main window, over the panel, and stays
        // there once the page has been handled (the engine makes its OpenGL
        // child then), rather than becoming a window of its own.
        QWindow *host = hosted->window()->windowHandle();
        QVERIFY(host);
        const QRect panelArea(panel->mapTo(&d, QPoint()), panel->size());
        auto inside = [&] {
            return host->parent() == d.windowHandle() && host->isVisible()
                   && panelArea.contains(host->geometry()) && host->width() > panel->width() - 10
                   && host->height() > panel->height() - 10;
        };
        QTRY_VERIFY(inside());
        QSignalSpy loaded(hosted, &QWebEngineView::loadFinished);
        QVERIFY(loaded.wait(20000) || !loaded.isEmpty());
        QTest::qWait(200);
        host = hosted->window()->windowHandle();
        QVERIFY(inside());
        for (QWindow *w : QGuiApplication::topLevelWindows())
            QVERIFY2(!w->isVisible() || w == d.windowHandle(), qPrintable(w->objectName()));
        QCOMPARE(panel->NavigateCount(), 1);
    }
};

int main(int argc, char **argv)
{
    if (::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    WebPanel::EnableWebView(true);
    QApplication app(argc, argv);
    TestWebView test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_webview.moc"
