// The receive view's costs that grow with the window or the log: the hex
// dump scrolled from the top of a long log to its bottom, and the main
// window resized from its default size to 1920×1080 and back with a long
// log in view. Each step is timed through layout and a synchronous paint;
// the longest step is the longest the event loop would be held.
//
//   QT_QPA_PLATFORM=offscreen build/bench/view_bench hex [megabytes]      (200)
//   QT_QPA_PLATFORM=offscreen build/bench/view_bench resize [megabytes]   (50)
#include "console/terminaldialog.h"
#include "session/sessionlog.h"
#include "text/codepage936.h"
#include "widgets/hexview.h"
#include "widgets/keywordrichedit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Replies and SMS listings in Chinese, as a module sends them.
QByteArray Block()
{
    QByteArray out;
    for (int n = 0; out.size() < 64 * 1024; ++n) {
        out += "AT+CSQ\r\r\n+CSQ: " + QByteArray::number(n % 32) + ",99\r\n\r\nOK\r\n";
        out += "AT+CMGL=\"ALL\"\r\r\n+CMGL: 1,\"REC READ\",\"+8613800100000\",,\"26/12/06,10:01:00+32\"\r\n";
        out += ToCodePage936(QStringLiteral("短信测试：模块工作正常，信号强度良好。\r\n"));
        out += "\r\nOK\r\n";
    }
    return out;
}

void Fill(SessionLog &log, int megabytes)
{
    const QByteArray block = Block();
    while (log.size() < qsizetype(megabytes) * 1024 * 1024)
        log.Append(block);
}

struct Steps
{
    std::vector<double> ms;
    void add(const QElapsedTimer &t) { ms.push_back(t.nsecsElapsed() / 1e6); }
    void print(const char *label)
    {
        std::vector<double> s = ms;
        std::sort(s.begin(), s.end());
        std::printf("%-34s %6zu steps  median %7.3f ms  p99 %7.3f ms  worst %7.3f ms\n", label, s.size(),
                    s[s.size() / 2], s[s.size() * 99 / 100], s.back());
    }
};

int Hex(int megabytes)
{
    SessionLog log;
    Fill(log, megabytes);
    LogView view;
    view.resize(1000, 800);
    view.setLog(&log);
    view.show();
    view.setHexView(true);
    QApplication::processEvents();
    HexView *hex = view.hexView();
    hex->logChanged(false);
    std::printf("hex view over %.0f MB: %lld rows, %d on screen\n", log.size() / 1048576.0,
                qint64(hex->rowCount()), hex->visibleRowCount());
    QScrollBar *bar = hex->verticalScrollBar();

    // Dragging the scroll bar's handle from the top to the bottom.
    Steps drag;
    const int moves = 2000;
    for (int i = 0; i <= moves; ++i) {
        QElapsedTimer t;
        t.start();
        bar->setValue(int(qint64(bar->maximum()) * i / moves));
        hex->viewport()->repaint();
        drag.add(t);
    }
    drag.print("drag top to bottom");
    // Page Down a thousand times at the top, the middle and the end, and
    // the wheel's three rows.
    Steps pages;
    for (const qsizetype start : { qsizetype(0), hex->rowCount() / 2, hex->rowCount() - 40000 }) {
        hex->scrollToRow(start);
        for (int i = 0; i < 1000; ++i) {
            QElapsedTimer t;
            t.start();
            hex->scrollToRow(hex->firstVisibleRow() + (i % 2 ? 3 : hex->visibleRowCount()));
            hex->viewport()->repaint();
            pages.add(t);
        }
    }
    pages.print("page down / wheel (3 places)");
    // With every byte selected and a find highlight on: the most painting.
    hex->selectAll();
    view.setFindHighlight(GbkFinder(QByteArrayLiteral("OK"), false), -1);
    Steps marked;
    for (int i = 0; i <= 500; ++i) {
        QElapsedTimer t;
        t.start();
        bar->setValue(int(qint64(bar->maximum()) * i / 500));
        hex->viewport()->repaint();
        marked.add(t);
    }
    marked.print("drag, all selected + find");
    return 0;
}

int Resize(int megabytes)
{
    TerminalDialog::SetPortLister([] { return QStringList(); });
    SessionLog log;
    Fill(log, megabytes);
    TerminalDialog d(log);
    d.show();
    d.RefreshReceiveView(true);
    auto *view = d.findChild<KeywordRichEdit *>(QStringLiteral("receiveView"));
    QElapsedTimer wait;
    wait.start();
    while (view->lineIndex().indexedSize() < log.size() || !view->lineIndex().isExact())
        QApplication::processEvents();
    std::printf("window with %.0f MB of log (%lld lines), indexed in %lld ms; default size %d×%d\n",
                log.size() / 1048576.0, qint64(view->lineCount()), wait.elapsed(), d.width(), d.height());
    const QSize small = d.size(), large(1920, 1080);
    const auto step = [&](const QSize &size, Steps &steps) {
        QElapsedTimer t;
        t.start();
        d.resize(size);
        QApplication::processEvents();
        d.repaint();
        steps.add(t);
    };
    // Dragged: 60 sizes on the way out and 60 back, then straight jumps.
    Steps drag, jump;
    for (int round = 0; round < 3; ++round) {
        for (int i = 1; i <= 60; ++i)
            step(small + (large - small) * i / 60, drag);
        for (int i = 59; i >= 0; --i)
            step(small + (large - small) * i / 60, drag);
        step(large, jump);
        step(small, jump);
    }
    drag.print("dragged edge (360 sizes)");
    jump.print("default <-> 1920x1080 (6 jumps)");
    // What the catch-up after a width change costs from the event loop.
    Steps idle;
    d.resize(large);
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer t;
        t.start();
        QApplication::processEvents();
        idle.add(t);
    }
    idle.print("event loop after the last resize");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("hex"))
        return Hex(argc > 2 ? std::atoi(argv[2]) : 200);
    if (mode == QLatin1String("resize"))
        return Resize(argc > 2 ? std::atoi(argv[2]) : 50);
    std::fprintf(stderr, "usage: view_bench hex|resize [megabytes]\n");
    return 2;
}
