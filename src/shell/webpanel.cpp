#include "shell/webpanel.h"

#include "shell/superuser.h"
#include "webview/webviewplugin.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>


// Qt's global OpenGL share context, exported by Qt GUI but not declared in
// its public headers. Qt WebEngine needs one when it loads; the attribute
// Qt::AA_ShareOpenGLContexts would make it with the application object,
// which loads the OpenGL driver (some 55 MB resident with Mesa's llvmpipe) in
// every run, also those that never show the page. It is made as Qt makes it,
// just before the web engine is loaded (ShareOpenGlContext).
#if QT_CONFIG(opengl)
QOpenGLContext *qt_gl_global_share_context();
void qt_gl_set_global_share_context(QOpenGLContext *context);
#endif

namespace {
bool s_webViewEnabled = false;

// False where there is no OpenGL (the offscreen platform, a display
// without GL): the view draws through it.
bool ShareOpenGlContext()
{
#if QT_CONFIG(opengl)
    if (QOpenGLContext *shared = qt_gl_global_share_context())
        return shared->isValid();
    auto *context = new QOpenGLContext(qApp);
    context->setFormat(QSurfaceFormat::defaultFormat());
    if (!context->create()) {
        delete context;
        return false;
    }
    qt_gl_set_global_share_context(context);
    return true;
#else
    return false; // a Qt built without OpenGL
#endif
}
}

WebPanel::WebPanel(QWidget *parent) : QFrame(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    m_page = new QTextBrowser(this);
    m_page->setObjectName(QStringLiteral("builtInPage"));
    m_page->setOpenLinks(false);
    m_page->setFrameShape(QFrame::NoFrame);
    m_page->setAccessibleName(QStringLiteral("Web panel"));
    connect(m_page, &QTextBrowser::anchorClicked, this, &WebPanel::LinkClicked);
    layout->addWidget(m_page);
    connect(&m_check, &ReachabilityCheck::finished, this, &WebPanel::CheckFinished);
}

WebPanel::~WebPanel()
{
    // The host's native window sits in our container, which would delete it
    // underneath the host: the host goes first. The plugin stays loaded (the
    // web engine does not support being unloaded).
    delete m_host;
}

bool WebPanel::WebViewAvailable()
{
#ifdef QRV_HAVE_WEBENGINE
    return true;
#else
    return false;
#endif
}

void WebPanel::EnableWebView(bool enable)
{
    s_webViewEnabled = enable && WebViewAvailable();
}

void WebPanel::PrepareApplication()
{
    if (!WebViewAvailable())
        return;
    QCoreApplication::setAttribute(Qt::AA_DisableShaderDiskCache);
    EnableWebView(true);
}

QString WebPanel::PluginPath()
{
    const QString chosen = qEnvironmentVariable("QRV_WEB_VIEW_PLUGIN");
    if (!chosen.isEmpty())
        return chosen;
    QStringList candidates;
#ifdef QRV_WEB_VIEW_PLUGIN_INSTALLED
    candidates << QCoreApplication::applicationDirPath() + QStringLiteral("/../") + QStringLiteral(QRV_WEB_VIEW_PLUGIN_INSTALLED);
#endif
#ifdef QRV_WEB_VIEW_PLUGIN_BUILT
    candidates << QStringLiteral(QRV_WEB_VIEW_PLUGIN_BUILT);
#endif
    for (const QString &path : candidates)
        if (QFileInfo::exists(path))
            return QDir::cleanPath(path);
    return QString();
}

QString WebPanel::NoOpenGl()
{
    return QStringLiteral("This display has no OpenGL for the web view. Open the link in a browser.");
}

// Why this panel shows no web view whatever the network says, or nothing.
QString WebPanel::WhyNoWebView() const
{
    if (!s_webViewEnabled)
        return QString(); // off by choice: the link is all
    // The web engine's sandbox does not run for root.
    if (RunsAsSuperuser() && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        return QStringLiteral("The page is not shown while the terminal runs as root: the web engine's sandbox "
                              "cannot run then. Open the link in a browser.");
    // The view draws through OpenGL; whether there is any is known only
    // once a context is made (EmbedWebView), but the offscreen platform has
    // none for sure.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return NoOpenGl();
    if (PluginPath().isEmpty())
        return QStringLiteral("The web view is not installed (qrvwebengine.so). Open the link in a browser.");
    return QString();
}

void WebPanel::Navigate(const QString &address)
{
    ++m_navigations;
    m_address = address;
    m_reachable = false;
    m_page->setToolTip(address);
    if (!s_webViewEnabled || !WhyNoWebView().isEmpty() || address.isEmpty()) {
        ShowBuiltInPage(WhyNoWebView(), false);
        return;
    }
    Retry();
}

void WebPanel::Retry()
{
    if (m_address.isEmpty() || !s_webViewEnabled || !WhyNoWebView().isEmpty())
        return;
    ShowBuiltInPage(QStringLiteral("Finding out whether the page can be reached…"), false);
    m_check.start(QUrl::fromUserInput(m_address));
}

void WebPanel::SetColourRules(const ColourRules &rules)
{
    m_rules = rules;
    if (m_page->isVisibleTo(this) || !m_view)
        ShowBuiltInPage(m_status, m_offerRetry);
}

void WebPanel::CheckFinished(ReachabilityCheck::Outcome outcome, const QString &detail)
{
    if (outcome != ReachabilityCheck::Reachable) {
        ShowBuiltInPage(ReachabilityCheck::Describe(outcome, detail), outcome != ReachabilityCheck::NotWebAddress);
        return;
    }
    m_reachable = true;
    if (m_view) {
        m_view->load(QUrl::fromUserInput(m_address));
        return; // shown again once it has loaded
    }
    ShowBuiltInPage(QStringLiteral("Loading the page…"), false);
    update(); // the view is made once the panel has been painted
}

void WebPanel::ShowBuiltInPage(const QString &status, bool offerRetry)
{
    m_status = status;
    m_offerRetry = offerRetry;
    m_pageLoaded = false;
    BuiltInPage page;
    page.address = m_address;
    page.status = status;
    page.offerRetry = offerRetry;
    page.rules = m_rules;
    const int scroll = m_page->verticalScrollBar() ? m_page->verticalScrollBar()->value() : 0;
    m_page->setHtml(BuiltInPageHtml(page));
    m_page->verticalScrollBar()->setValue(scroll);
    if (m_container)
        m_container->hide();
    m_page->show();
    emit statusChanged();
}

void WebPanel::LinkClicked(const QUrl &url)
{
    if (url == QUrl(QString::fromLatin1(kRetryLink)))
        Retry();
    else
        QDesktopServices::openUrl(url);
}

bool WebPanel::ShowsWebView() const
{
    return m_pageLoaded && m_container && !m_container->isHidden();
}

QUrl WebPanel::PageUrl() const
{
    return m_view ? m_view->url() : QUrl();
}

void WebPanel::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    // Making the view (loading the web engine) holds the event loop for
    // over a tenth of a second: it is made once the window is on screen and
    // this first frame is out.
    if (m_reachable && !m_view && !m_embedQueued) {
        m_embedQueued = true;
        QTimer::singleShot(0, this, &WebPanel::EmbedWebView);
    }
}

// The web view draws through OpenGL. As a child widget it would make Qt
// compose the whole main window through OpenGL on every repaint (in software
// where there is no GPU), so it lives in a window of its own, a native child
// window inside the panel: the main window keeps its plain raster repaints.
// The host window is made only once the panel's own window is on screen, or
// it would be shown as a top-level window.
void WebPanel::EmbedWebView()
{
    m_embedQueued = false;
    if (m_view || !isVisible())
        return;
    if (!ShareOpenGlContext()) {
        m_reachable = false;
        ShowBuiltInPage(NoOpenGl(), false);
        return;
    }
    m_loader.setFileName(PluginPath());
    auto *factory = qobject_cast<WebViewFactory *>(m_loader.instance());
    if (!factory) {
        m_reachable = false;
        ShowBuiltInPage(QStringLiteral("The web view could not be loaded (%1). Open the link in a browser.")
                            .arg(m_loader.errorString()),
                        false);
        return;
    }
    m_host = new QWidget;
    auto *hostLayout = new QVBoxLayout(m_host);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    WebViewHooks hooks;
    hooks.openOutside = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    hooks.loadFinished = [this](bool ok) {
        if (ok) {
            m_pageLoaded = true;
            m_status = QStringLiteral("The page is shown.");
            m_page->hide();
            m_container->show();
            emit statusChanged();
        } else if (!ShowsWebView()) {
            ShowBuiltInPage(QStringLiteral("The page did not load."), true);
        }
    };
    const QUrl address = QUrl::fromUserInput(m_address);
    m_view = factory->create(m_host, address, hooks);
    hostLayout->addWidget(m_view->widget());
    m_host->winId();
    m_container = QWidget::createWindowContainer(m_host->windowHandle(), this);
    m_container->setFocusPolicy(Qt::StrongFocus);
    layout()->addWidget(m_container);
    layout()->activate();
    // The container is shown (the host's window needs it on screen) over
    // the built-in page's place until the page has loaded.
    m_page->hide();
    m_container->show();
    m_host->setGeometry(QRect(m_container->mapTo(window(), QPoint()), m_container->size()));
    m_host->show();
    m_view->load(address);
}
