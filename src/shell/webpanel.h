#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class QWebEngineView;

// The panel at the left of the main window that shows one web page of the
// maker, loaded once at start-up in the background: the program neither waits
// for it nor reports a page that does not load (no network is normal on a
// test bench). With Qt WebEngine (and the embedded view enabled) the page is
// shown in an embedded web view the user can click within; otherwise the
// panel shows the address as a link that opens in the system's browser.
//
// The embedded view is not the default yet: it draws through OpenGL, which
// makes Qt compose the whole main window for every repaint, and with software
// rendering (no GPU, as under Xvfb) that costs about a quarter of a core while
// a module streams at 115200 baud. The program turns it on with --web-view.
class WebPanel : public QFrame
{
    Q_OBJECT

public:
    explicit WebPanel(QWidget *parent = nullptr);

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

private:
    QLabel *m_link = nullptr;
    QWebEngineView *m_view = nullptr;
    QString m_address;
    int m_navigations = 0;
};
