#pragma once

#include "shell/builtinpage.h"
#include "shell/reachability.h"

#include <QFrame>
#include <QPluginLoader>
#include <QString>
#include <QUrl>

class EmbeddedWebView;
class QTextBrowser;

// The panel at the left of the main window that shows one web page of the
// maker, loaded once at start-up in the background: the program neither waits
// for it nor reports a page that does not load (no network is normal on a
// test bench).
//
// The panel shows a page of its own (BuiltInPageHtml) until the maker's page
// can be shown: first a check, off the window's thread, that the page's host
// resolves and answers; only then is the web view made, from a plugin loaded
// at that moment (webview/webviewplugin.h), so that a terminal that never
// shows the page never loads the web engine. The built-in page stays when the
// page cannot be reached (with a link to try again), when the embedded view
// is off (tests; --no-web-view), when the build or the installation has no
// web view plugin, where there is no OpenGL, and when the program runs as
// root: the web engine's sandbox cannot run then, and the page is not shown
// without it unless QTWEBENGINE_DISABLE_SANDBOX says so.
class WebPanel : public QFrame
{
    Q_OBJECT

public:
    explicit WebPanel(QWidget *parent = nullptr);
    ~WebPanel() override;

    // Whether this build has the web view plugin, and whether panels made
    // from now on may use it (the program turns it on at start; tests leave
    // it off unless they test the view).
    static bool WebViewAvailable();
    static void EnableWebView(bool enable);
    // Before the application object: keeps Qt from caching the web engine's
    // shaders under the home folder, and enables the view.
    static void PrepareApplication();
    // Where the plugin is looked for: $QRV_WEB_VIEW_PLUGIN, then beside the
    // installed program (../lib…/qrvterm), then in the build folder.
    static QString PluginPath();

    // Shows the address, in the background.
    void Navigate(const QString &address);
    int NavigateCount() const { return m_navigations; }
    QString Address() const { return m_address; }

    // The receive view's colour rules, for the built-in page.
    void SetColourRules(const ColourRules &rules);

    // Checks again and shows the page if it can be reached now.
    void Retry();

    // Whether the web view is shown, with a page that has loaded.
    bool ShowsWebView() const;
    bool ChecksReachability() const { return m_check.isRunning(); }
    // The sentence the built-in page shows about the maker's page.
    QString Status() const { return m_status; }
    // The page the web view shows (empty without one).
    QUrl PageUrl() const;

signals:
    // The built-in page or the web view now shows what Status() says.
    void statusChanged();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void CheckFinished(ReachabilityCheck::Outcome outcome, const QString &detail);
    void ShowBuiltInPage(const QString &status, bool offerRetry);
    void LinkClicked(const QUrl &url);
    void EmbedWebView();
    QString WhyNoWebView() const;
    static QString NoOpenGl();

    QTextBrowser *m_page = nullptr;
    ColourRules m_rules;
    bool m_offerRetry = false;
    QString m_status;
    ReachabilityCheck m_check;
    bool m_reachable = false;
    bool m_pageLoaded = false; // the view shows a page that loaded
    bool m_embedQueued = false;
    QPluginLoader m_loader;
    QWidget *m_host = nullptr;
    QWidget *m_container = nullptr;
    EmbeddedWebView *m_view = nullptr;
    QString m_address;
    int m_navigations = 0;
};
