#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QWebEngineView;

// The panel at the left of the main window that shows one web page of the
// maker, loaded once at start-up in the background: the program neither waits
// for it nor reports a page that does not load (no network is normal on a
// test bench). With Qt WebEngine (and the embedded view enabled, as the
// program does unless told --no-web-view) the page is shown in an embedded
// web view the user can click within, made once the window is on screen;
// otherwise, or where there is no OpenGL, the panel shows the address as a
// link that opens in the system's browser.
class WebPanel : public QFrame
{
    Q_OBJECT

public:
    explicit WebPanel(QWidget *parent = nullptr);
    ~WebPanel() override;

    // Whether this build has the embedded web view, and whether panels made
    // from now on use it (the program turns it on at start; tests leave it
    // off, since the web view starts processes of its own).
    static bool WebViewAvailable();
    static void EnableWebView(bool enable);

    // Loads the address in the background.
    void Navigate(const QString &address);
    int NavigateCount() const { return m_navigations; }
    QString Address() const { return m_address; }
    bool ShowsWebView() const { return m_view != nullptr; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void EmbedWebView();

    QLabel *m_link = nullptr;
    QWidget *m_host = nullptr;
    bool m_embedQueued = false;
    QWebEngineView *m_view = nullptr;
    QString m_address;
    int m_navigations = 0;
};
