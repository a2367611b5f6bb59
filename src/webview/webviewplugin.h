#pragma once

#include <QUrl>
#include <QtPlugin>

#include <functional>

class QWidget;

// The embedded web view lives in a plugin of its own (qrvwebengine), loaded
// with QPluginLoader only when a page is to be shown: a terminal that never
// shows the page never maps Qt WebEngine's libraries. This header is the
// whole contract between the terminal and the plugin, so that nothing of the
// terminal needs Qt WebEngine to build.

// One view, made by the plugin. It is a widget of the plugin's making, owned
// by the parent it was made in.
class EmbeddedWebView
{
public:
    virtual ~EmbeddedWebView() = default;

    virtual QWidget *widget() = 0;
    virtual void load(const QUrl &url) = 0;
    // The page now shown (empty before the first load has committed).
    virtual QUrl url() const = 0;
};

// What the view tells its owner.
struct WebViewHooks
{
    // A link the user followed to another site: the owner opens it in the
    // system's browser (the view stays on its page).
    std::function<void(const QUrl &)> openOutside;
    // Every load of the main page ends here, with whether it succeeded.
    std::function<void(bool ok)> loadFinished;
};

class WebViewFactory
{
public:
    virtual ~WebViewFactory() = default;

    // Makes a view, a child of `parent`, that stays on the site of `site`
    // (its host): links elsewhere go to hooks.openOutside. The view keeps
    // nothing on disk, reads no local file, downloads nothing and refuses
    // every permission a page asks for.
    virtual EmbeddedWebView *create(QWidget *parent, const QUrl &site, const WebViewHooks &hooks) = 0;
};

#define QRV_WEB_VIEW_FACTORY_IID "com.example.qrvterm.WebViewFactory/1"
Q_DECLARE_INTERFACE(WebViewFactory, QRV_WEB_VIEW_FACTORY_IID)
