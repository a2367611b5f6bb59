#include "shell/webpanel.h"

#include <QLabel>
#include <QOpenGLContext>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#ifdef QRV_HAVE_WEBENGINE
#include <QOpenGLWidget>
#include <QWebEngineView>
#endif

namespace {
bool s_webViewEnabled = false;

// The view draws through OpenGL: where the platform has none (the offscreen
// platform, a display without GL), the panel shows the link instead.
bool UseWebView()
{
    const QOpenGLContext *shared = QOpenGLContext::globalShareContext();
    return s_webViewEnabled && shared && shared->isValid();
}
}

WebPanel::WebPanel(QWidget *parent) : QFrame(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
}

WebPanel::~WebPanel()
{
    // The host's native window sits in our container, which would delete it
    // underneath the host: the host goes first.
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

void WebPanel::Navigate(const QString &address)
{
    ++m_navigations;
    m_address = address;
#ifdef QRV_HAVE_WEBENGINE
    if (UseWebView()) {
        // The view is made once the panel has been painted (see paintEvent).
        if (m_view)
            m_view->load(QUrl::fromUserInput(address));
        else
            update();
        return;
    }
#endif
    if (!m_link) {
        m_link = new QLabel(this);
        m_link->setAlignment(Qt::AlignCenter);
        m_link->setWordWrap(true);
        m_link->setTextFormat(Qt::RichText);
        m_link->setOpenExternalLinks(true);
        m_link->setTextInteractionFlags(Qt::TextBrowserInteraction);
        layout()->addWidget(m_link);
    }
    const QUrl url = QUrl::fromUserInput(address);
    m_link->setText(address.isEmpty() ? QString()
                                      : QStringLiteral("<a href=\"%1\">%2</a>")
                                            .arg(url.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                                                 address.toHtmlEscaped()));
    m_link->setToolTip(address);
}

void WebPanel::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
#ifdef QRV_HAVE_WEBENGINE
    // Making the view holds the event loop for a quarter of a second: it is
    // made once the window is on screen and this first frame is out.
    if (UseWebView() && !m_view && !m_embedQueued && !m_address.isEmpty()) {
        m_embedQueued = true;
        QTimer::singleShot(0, this, &WebPanel::EmbedWebView);
    }
#endif
}

// The web view draws through OpenGL. As a child widget it would make Qt
// compose the whole main window through OpenGL on every repaint (in software
// where there is no GPU), so it lives in a window of its own, a native child
// window inside the panel: the main window keeps its plain raster repaints.
// The host window is made only once the panel's own window is on screen, or
// it would be shown as a top-level window.
void WebPanel::EmbedWebView()
{
#ifdef QRV_HAVE_WEBENGINE
    m_embedQueued = false;
    if (m_view || !isVisible())
        return;
    m_host = new QWidget;
    auto *hostLayout = new QVBoxLayout(m_host);
    hostLayout->setContentsMargins(0, 0, 0, 0);
    m_view = new QWebEngineView(m_host);
    hostLayout->addWidget(m_view);
    // The view makes its OpenGL child only when a page loads, and Qt would
    // then make the host's native window again, as a top-level window outside
    // the container. A hidden OpenGL widget has the window made for OpenGL
    // from the start.
    (new QOpenGLWidget(m_host))->hide();
    m_host->winId();
    QWidget *container = QWidget::createWindowContainer(m_host->windowHandle(), this);
    container->setFocusPolicy(Qt::StrongFocus);
    layout()->addWidget(container);
    layout()->activate();
    container->show();
    m_host->setGeometry(QRect(container->mapTo(window(), QPoint()), container->size()));
    m_host->show();
    m_view->load(QUrl::fromUserInput(m_address));
#endif
}
