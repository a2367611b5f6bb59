// The embedded web view, built on Qt WebEngine: the one file of the program
// that uses it, built as a plugin (see webviewplugin.h).
#include "webview/webviewplugin.h"

#include <QObject>
#include <QOpenGLWidget>
#include <QPointer>
#include <QSet>
#include <QWebEngineDownloadRequest>
#include <QWebEngineFileSystemAccessRequest>
#include <QWebEngineFullScreenRequest>
#include <QWebEngineNewWindowRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineQuotaRequest>
#include <QWebEngineRegisterProtocolHandlerRequest>
#include <QWebEngineSettings>
#include <QWebEngineView>

namespace {

bool IsWeb(const QUrl &url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

// A page that stays on its site's hosts: a link the user follows elsewhere is
// handed to the owner to open outside, any other navigation elsewhere (a
// script, a form, a refresh) is dropped. The first load may be redirected by
// the server (http to https, a www. host); the host it ends on joins the site.
class SitePage : public QWebEnginePage
{
public:
    SitePage(QWebEngineProfile *profile, const QUrl &site, const WebViewHooks &hooks, QObject *parent)
        : QWebEnginePage(profile, parent), m_hooks(hooks)
    {
        m_hosts.insert(site.host().toLower());
        connect(this, &QWebEnginePage::loadFinished, this, [this](bool ok) {
            if (ok && !m_loadedOnce && IsWeb(url()))
                m_hosts.insert(url().host().toLower());
            m_loadedOnce = m_loadedOnce || ok;
            if (m_hooks.loadFinished)
                m_hooks.loadFinished(ok);
        });
        // Every permission a page may ask for is refused.
        connect(this, &QWebEnginePage::featurePermissionRequested, this,
                [this](const QUrl &origin, Feature feature) {
                    setFeaturePermission(origin, feature, PermissionDeniedByUser);
                });
        connect(this, &QWebEnginePage::fileSystemAccessRequested, this,
                [](QWebEngineFileSystemAccessRequest request) { request.reject(); });
        connect(this, &QWebEnginePage::registerProtocolHandlerRequested, this,
                [](QWebEngineRegisterProtocolHandlerRequest request) { request.reject(); });
        connect(this, &QWebEnginePage::fullScreenRequested, this,
                [](QWebEngineFullScreenRequest request) { request.reject(); });
        connect(this, &QWebEnginePage::quotaRequested, this, [](QWebEngineQuotaRequest request) { request.reject(); });
        // A link meant for a new window: opened outside when the user asked
        // for it, never as a window of ours.
        connect(this, &QWebEnginePage::newWindowRequested, this, [this](QWebEngineNewWindowRequest &request) {
            if (request.isUserInitiated() && IsWeb(request.requestedUrl()) && m_hooks.openOutside)
                m_hooks.openOutside(request.requestedUrl());
        });
    }

protected:
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame) override
    {
        if (!IsWeb(url))
            return false; // no local files, no other schemes
        if (!isMainFrame || m_hosts.contains(url.host().toLower()))
            return true;
        if (type == NavigationTypeRedirect && !m_loadedOnce)
            return true;
        if (type == NavigationTypeLinkClicked && m_hooks.openOutside)
            m_hooks.openOutside(url);
        return false;
    }

    QStringList chooseFiles(FileSelectionMode, const QStringList &, const QStringList &) override
    {
        return {}; // no local file is offered to a page
    }

private:
    WebViewHooks m_hooks;
    QSet<QString> m_hosts;
    bool m_loadedOnce = false;
};

class View : public QWebEngineView, public EmbeddedWebView
{
public:
    View(QWidget *parent, const QUrl &site, const WebViewHooks &hooks)
        : QWebEngineView(parent),
          // A profile without a storage name is off the record: cookies,
          // cache and local storage stay in memory and go with the view.
          m_profile(new QWebEngineProfile(this))
    {
        m_profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
        m_profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
        m_profile->setSpellCheckEnabled(false);
        connect(m_profile, &QWebEngineProfile::downloadRequested, this,
                [](QWebEngineDownloadRequest *download) { download->cancel(); });
        m_page = new SitePage(m_profile, site, hooks, this);
        QWebEngineSettings *s = m_page->settings();
        s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
        s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
        s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
        s->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, false);
        s->setAttribute(QWebEngineSettings::JavascriptCanPaste, false);
        s->setAttribute(QWebEngineSettings::AllowWindowActivationFromJavaScript, false);
        s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
        s->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
        s->setAttribute(QWebEngineSettings::FullScreenSupportEnabled, false);
        s->setAttribute(QWebEngineSettings::ScreenCaptureEnabled, false);
        s->setAttribute(QWebEngineSettings::AllowGeolocationOnInsecureOrigins, false);
        s->setAttribute(QWebEngineSettings::AllowRunningInsecureContent, false);
        s->setAttribute(QWebEngineSettings::WebRTCPublicInterfacesOnly, true);
        s->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
        s->setAttribute(QWebEngineSettings::HyperlinkAuditingEnabled, false);
        s->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
        s->setAttribute(QWebEngineSettings::ErrorPageEnabled, false); // the panel says it itself
        setPage(m_page);
        setContextMenuPolicy(Qt::NoContextMenu); // no "Save page", "Open in new window"
    }

    ~View() override
    {
        // The page goes before its profile.
        setPage(nullptr);
        delete m_page;
    }

    QWidget *widget() override { return this; }
    void load(const QUrl &url) override { QWebEngineView::load(url); }
    QUrl url() const override { return QWebEngineView::url(); }

private:
    QWebEngineProfile *m_profile;
    QPointer<SitePage> m_page;
};

class WebEnginePlugin : public QObject, public WebViewFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QRV_WEB_VIEW_FACTORY_IID)
    Q_INTERFACES(WebViewFactory)

public:
    EmbeddedWebView *create(QWidget *parent, const QUrl &site, const WebViewHooks &hooks) override
    {
        auto *view = new View(parent, site, hooks);
        // The view makes its OpenGL child only when a page loads, and Qt would
        // then make the parent's native window again. A hidden OpenGL widget
        // has the window made for OpenGL from the start.
        (new QOpenGLWidget(parent))->hide();
        return view;
    }
};

} // namespace

#include "webengineview.moc"
