#include "shell/webpanel.h"

#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>

#ifdef QRV_HAVE_WEBENGINE
#include <QWebEngineView>
#endif

namespace {
bool s_webViewEnabled = false;
}

WebPanel::WebPanel(QWidget *parent) : QFrame(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
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
    if (s_webViewEnabled) {
        if (!m_view) {
            m_view = new QWebEngineView(this);
            layout()->addWidget(m_view);
        }
        m_view->load(QUrl::fromUserInput(address));
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
