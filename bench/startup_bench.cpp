// Measures how soon the terminal's window is usable after launch, with and
// without the web panel's embedded web view.
//
//   build/bench/startup_bench [runs] [--web-view]
//
// Each run starts this program again as a child (a fresh process, so shared
// libraries are loaded as on a real launch). The child makes the main window,
// shows it and then watches its event loop for three seconds with a 1 ms
// timer: the longest gap is the longest time the window would not have
// answered the user (the web view's set-up included). It reports monotonic
// times, which the parent turns into launch-to-main, launch-to-first-paint and
// the longest stall; the figures are medians over the runs (5).
#include "console/terminaldialog.h"
#include "shell/webpanel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

qint64 NowNs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int Child(int argc, char **argv, bool webView)
{
    const qint64 mainAt = NowNs();
    if (webView) {
        if (::geteuid() == 0)
            qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        WebPanel::PrepareApplication();
    }
    QApplication app(argc, argv);
    TerminalDialog::SetPortLister([] { return QStringList(); });
    SessionLog log;
    TerminalDialog dialog(log);

    struct FirstPaint : QObject
    {
        qint64 at = 0;
        bool eventFilter(QObject *, QEvent *e) override
        {
            if (e->type() == QEvent::Paint && at == 0)
                at = NowNs();
            return false;
        }
    } firstPaint;
    dialog.installEventFilter(&firstPaint);
    dialog.show();

    qint64 last = NowNs(), longest = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = NowNs();
        longest = std::max(longest, now - last);
        last = now;
    });
    tick.start(1);
    QTimer::singleShot(3000, &app, [] { QCoreApplication::exit(0); });
    app.exec();
    std::printf("%lld %lld %lld %d\n", static_cast<long long>(mainAt), static_cast<long long>(firstPaint.at),
                static_cast<long long>(longest), dialog.findChild<WebPanel *>()->ShowsWebView() ? 1 : 0);
    return 0;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    bool webView = false;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--child") == 0)
            return Child(argc, argv, std::strcmp(argv[argc - 1], "--web-view") == 0);
        if (std::strcmp(argv[i], "--web-view") == 0)
            webView = true;
        else
            runs = std::max(std::atoi(argv[i]), 1);
    }
    if (webView && !WebPanel::WebViewAvailable()) {
        std::fprintf(stderr, "this build has no web view\n");
        return 1;
    }
    std::vector<double> toMain, toPaint, stalls;
    bool shown = true;
    for (int run = 0; run < runs; ++run) {
        int out[2];
        if (::pipe(out) != 0)
            return 1;
        const qint64 launchAt = NowNs();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            ::execl("/proc/self/exe", argv[0], "--child", webView ? "--web-view" : "--no-web-view",
                    static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        std::string text;
        char buffer[256];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, size_t(n));
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        long long mainAt = 0, paintAt = 0, longest = 0;
        int withView = 0;
        if (std::sscanf(text.c_str(), "%lld %lld %lld %d", &mainAt, &paintAt, &longest, &withView) != 4 || paintAt == 0) {
            std::fprintf(stderr, "run %d: no result (%s)\n", run, text.c_str());
            return 1;
        }
        shown = shown && withView == int(webView);
        toMain.push_back((mainAt - launchAt) / 1e6);
        toPaint.push_back((paintAt - launchAt) / 1e6);
        stalls.push_back(longest / 1e6);
        std::printf("run %d: main %.0f ms, first paint %.0f ms, longest stall %.0f ms\n", run, toMain.back(),
                    toPaint.back(), stalls.back());
    }
    std::printf("web view                 %s\n", webView ? (shown ? "embedded" : "NOT shown") : "off");
    std::printf("launch to main()         %.0f ms (median of %d)\n", Median(toMain), runs);
    std::printf("launch to first paint    %.0f ms\n", Median(toPaint));
    std::printf("longest stall, first 3 s %.0f ms\n", Median(stalls));
    return shown ? 0 : 1;
}
