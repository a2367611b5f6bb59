// Measures how soon the terminal's window is usable after launch and how much
// memory it holds at rest, in the web panel's three cases:
//
//   build/bench/startup_bench [runs] [no-web-view|unreachable|reachable]...
//
//   no-web-view  the panel's built-in page, no check (--no-web-view)
//   unreachable  the check finds the maker's page unreachable (its host does
//                not resolve on an offline machine): the built-in page
//   reachable    a web server on 127.0.0.1 (a process of this benchmark)
//                stands in for the maker's site: the web view is made
//
// Each run starts this program again as a child (a fresh process, so shared
// libraries are loaded as on a real launch) that makes the main window,
// shows it and watches its event loop with a 1 ms timer: the longest gap is
// the longest time the window would not have answered. Once at rest (3 s
// after the show; with the page, 2 s after it is shown) the child says so,
// and this process reads, from outside, the child's resident memory (RSS and
// PSS, /proc/PID/status and smaps_rollup) and that of its descendants, the
// web engine's processes. Figures are medians over the runs (3). As root the
// reachable case turns the web engine's sandbox off, as a user would have to.
#include "console/terminaldialog.h"
#include "shell/webpanel.h"

#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
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

int Child(int argc, char **argv, const std::string &mode, const char *address)
{
    const qint64 mainAt = NowNs();
    if (mode != "no-web-view")
        WebPanel::PrepareApplication();
    if (mode == "reachable" && ::geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QApplication app(argc, argv);
    TerminalDialog::SetPortLister([] { return QStringList(); });
    SessionLog log;
    TerminalDialog dialog(log);
    auto *panel = dialog.findChild<WebPanel *>();
    if (mode == "reachable")
        panel->Navigate(QString::fromLatin1(address)); // in place of the maker's address

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
    const qint64 shownAt = last;
    qint64 restAt = mode == "reachable" ? 0 : shownAt + 3000000000LL;
    bool reported = false;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = NowNs();
        longest = std::max(longest, now - last);
        last = now;
        if (restAt == 0 && panel->ShowsWebView())
            restAt = now + 2000000000LL;
        if (restAt == 0 && now - shownAt > 30000000000LL)
            restAt = now; // the page never came: reported as not shown
        if (!reported && restAt != 0 && now >= restAt) {
            reported = true;
            std::printf("%lld %lld %lld %d\n", static_cast<long long>(mainAt),
                        static_cast<long long>(firstPaint.at), static_cast<long long>(longest),
                        panel->ShowsWebView() ? 1 : 0);
            std::fflush(stdout);
            QTimer::singleShot(1500, &app, [] { QCoreApplication::exit(0); });
        }
    });
    tick.start(1);
    return app.exec();
}

// A web server that answers every request with one small page, until killed.
pid_t StartWebServer(std::string *address)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &length) != 0)
        return -1;
    *address = "http://127.0.0.1:" + std::to_string(ntohs(sa.sin_port)) + "/";
    const pid_t pid = ::fork();
    if (pid != 0) {
        ::close(fd);
        return pid;
    }
    const std::string body = "<html><body><h1>QRV</h1><p>Wireless modules and their AT commands.</p></body></html>";
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: "
                              + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    for (;;) {
        const int c = ::accept(fd, nullptr, nullptr);
        if (c < 0)
            continue;
        char buffer[4096];
        std::string request;
        for (ssize_t n; request.find("\r\n\r\n") == std::string::npos && (n = ::read(c, buffer, sizeof buffer)) > 0;)
            request.append(buffer, size_t(n));
        if (!request.empty() && ::write(c, reply.data(), reply.size()) < 0)
            ::perror("write");
        ::close(c);
    }
}

struct Memory
{
    double rssMb = 0, pssMb = 0;
};

Memory MemoryOf(pid_t pid)
{
    Memory m;
    auto kb = [](const std::string &path, const char *key) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind(key, 0) == 0)
                return std::atof(line.c_str() + std::strlen(key)) / 1024.0;
        return 0.0;
    };
    const std::string base = "/proc/" + std::to_string(pid);
    m.rssMb = kb(base + "/status", "VmRSS:");
    m.pssMb = kb(base + "/smaps_rollup", "Pss:");
    return m;
}

// Every process below `root`, from the parents in /proc/*/stat.
std::vector<pid_t> Descendants(pid_t root)
{
    std::map<pid_t, pid_t> parentOf;
    if (DIR *d = ::opendir("/proc")) {
        while (dirent *e = ::readdir(d)) {
            const pid_t pid = std::atoi(e->d_name);
            if (pid <= 0)
                continue;
            std::ifstream in("/proc/" + std::string(e->d_name) + "/stat");
            std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const size_t close = stat.rfind(')');
            if (close == std::string::npos)
                continue;
            std::istringstream rest(stat.substr(close + 2));
            char state;
            pid_t parent = 0;
            rest >> state >> parent;
            parentOf[pid] = parent;
        }
        ::closedir(d);
    }
    std::vector<pid_t> found;
    for (const auto &[pid, parent] : parentOf) {
        for (pid_t p = parent; p > 1; p = parentOf.count(p) ? parentOf[p] : 0)
            if (p == root) {
                found.push_back(pid);
                break;
            }
    }
    return found;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Figures
{
    std::vector<double> toPaint, stalls, rss, pss, engineRss, enginePss, engineCount;
    bool asExpected = true;
};

bool Run(const char *self, const std::string &mode, const std::string &address, Figures *f)
{
    int out[2];
    if (::pipe(out) != 0)
        return false;
    const qint64 launchAt = NowNs();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        ::close(out[1]);
        ::execl("/proc/self/exe", self, "--child", mode.c_str(), address.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; text.find('\n') == std::string::npos && (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
    // At rest: measured from outside while the child idles.
    const Memory own = MemoryOf(pid);
    Memory engine;
    int engines = 0;
    for (pid_t p : Descendants(pid)) {
        const Memory m = MemoryOf(p);
        engine.rssMb += m.rssMb;
        engine.pssMb += m.pssMb;
        ++engines;
    }
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    long long mainAt = 0, paintAt = 0, longest = 0;
    int withView = 0;
    if (std::sscanf(text.c_str(), "%lld %lld %lld %d", &mainAt, &paintAt, &longest, &withView) != 4 || paintAt == 0) {
        std::fprintf(stderr, "%s: no result (%s)\n", mode.c_str(), text.c_str());
        return false;
    }
    f->asExpected = f->asExpected && withView == int(mode == "reachable");
    f->toPaint.push_back((paintAt - launchAt) / 1e6);
    f->stalls.push_back(longest / 1e6);
    f->rss.push_back(own.rssMb);
    f->pss.push_back(own.pssMb);
    f->engineRss.push_back(engine.rssMb);
    f->enginePss.push_back(engine.pssMb);
    f->engineCount.push_back(engines);
    std::printf("%-12s paint %5.0f ms  stall %4.0f ms  rss %6.1f MB  pss %6.1f MB  engine %d procs rss %6.1f MB "
                "pss %6.1f MB%s\n",
                mode.c_str(), f->toPaint.back(), f->stalls.back(), own.rssMb, own.pssMb, engines, engine.rssMb,
                engine.pssMb, withView ? "  (page shown)" : "");
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 4 && std::strcmp(argv[1], "--child") == 0)
        return Child(argc, argv, argv[2], argv[3]);
    int runs = 3;
    std::vector<std::string> modes;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "no-web-view" || arg == "unreachable" || arg == "reachable")
            modes.push_back(arg);
        else
            runs = std::max(std::atoi(argv[i]), 1);
    }
    if (modes.empty())
        modes = { "no-web-view", "unreachable", "reachable" };
    if (!WebPanel::WebViewAvailable())
        modes.erase(std::remove(modes.begin(), modes.end(), "reachable"), modes.end());
    std::string address = "-";
    pid_t server = -1;
    if (std::find(modes.begin(), modes.end(), "reachable") != modes.end()) {
        server = StartWebServer(&address);
        if (server < 0) {
            std::perror("web server");
            return 1;
        }
    }
    std::map<std::string, Figures> figures;
    bool ok = true;
    for (int run = 0; run < runs && ok; ++run)
        for (const std::string &mode : modes)
            ok = ok && Run(argv[0], mode, address, &figures[mode]);
    if (server > 0) {
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
    }
    if (!ok)
        return 1;
    std::printf("\nmedians of %d runs on %s\n", runs, qgetenv("QT_QPA_PLATFORM").isEmpty() ? "the display" : qgetenv("QT_QPA_PLATFORM").constData());
    std::printf("%-12s %9s %9s %9s %9s %8s %11s %11s %s\n", "case", "paint ms", "stall ms", "RSS MB", "PSS MB",
                "engines", "engine RSS", "engine PSS", "as expected");
    for (const std::string &mode : modes) {
        const Figures &f = figures[mode];
        std::printf("%-12s %9.0f %9.0f %9.1f %9.1f %8.0f %11.1f %11.1f %s\n", mode.c_str(), Median(f.toPaint),
                    Median(f.stalls), Median(f.rss), Median(f.pss), Median(f.engineCount), Median(f.engineRss),
                    Median(f.enginePss), f.asExpected ? "yes" : "NO");
        ok = ok && f.asExpected;
    }
    return ok ? 0 : 1;
}
