// The receive view's costs that grow with the window or the log: the hex
// dump scrolled from the top of a long log to its bottom, and the main
// window resized, the view zoomed and its timestamps gutter turned on and off
// with a long log in view. Each step is timed through layout, the events it
// posts and a synchronous paint; the longest step is the longest the event
// loop would be held. After each group of steps, the view's re-wrap of the
// whole log is timed to its end from the event loop.
//
//   QT_QPA_PLATFORM=offscreen build/bench/view_bench hex [megabytes]             (200)
//   QT_QPA_PLATFORM=offscreen build/bench/view_bench resize [megabytes] [sizes]  (50, 30)
//
// `sizes`: window sizes on each way of a dragged edge.
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
        std::printf("%-38s %6zu steps  median %7.3f ms  p99 %7.3f ms  worst %7.3f ms\n", label, s.size(),
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

// Every step the event loop would take in one go: the change, the events it
// posts (the view's background slices among them) and a synchronous paint.
int Resize(int megabytes, int sizes)
{
    TerminalDialog::SetPortLister([] { return QStringList(); });
    SessionLog log;
    Fill(log, megabytes);
    TerminalDialog d(log);
    d.show();
    d.RefreshReceiveView(true);
    auto *view = d.findChild<KeywordRichEdit *>(QStringLiteral("receiveView"));
    const auto settled = [&] {
        return view->lineIndex().indexedSize() >= log.size() && view->lineIndex().isExact();
    };
    QElapsedTimer wait;
    wait.start();
    while (!settled())
        QApplication::processEvents();
    std::printf("window with %.0f MB of log (%lld lines, %lld index chunks in the file), indexed in %lld ms; "
                "default size %d×%d, %d columns\n",
                log.size() / 1048576.0, qint64(view->lineCount()), qint64(view->lineIndex().storedChunks()),
                wait.elapsed(), d.width(), d.height(), view->columnCount());
    Steps all;
    const auto timed = [&](Steps &steps, const auto &change) {
        QElapsedTimer t;
        t.start();
        change();
        QApplication::processEvents();
        d.repaint();
        steps.add(t);
        all.ms.push_back(steps.ms.back());
    };
    const auto resizeTo = [&](const QSize &size, Steps &steps) { timed(steps, [&] { d.resize(size); }); };
    // The wrap left unfinished by the steps before, completed from the event
    // loop: how long it takes and its longest step.
    const auto complete = [&](const char *label) {
        Steps idle;
        QElapsedTimer t;
        t.start();
        while (!settled()) {
            QElapsedTimer s;
            s.start();
            QApplication::processEvents();
            idle.add(s);
        }
        if (idle.ms.empty())
            idle.ms.push_back(0);
        std::printf("%s %lld ms to complete the wrap, ", label, t.elapsed());
        idle.print("event-loop steps meanwhile");
    };

    // Dragged: `sizes` sizes on the way out and as many back, from the
    // default size to 1920×1080 (wider than any line), then straight jumps.
    const QSize home = d.size(), large(1920, 1080);
    const auto drag = [&](Steps &steps) {
        for (int i = 1; i <= sizes; ++i)
            resizeTo(home + (large - home) * i / sizes, steps);
        for (int i = sizes - 1; i >= 0; --i)
            resizeTo(home + (large - home) * i / sizes, steps);
    };
    const auto columnsAt = [&](const QSize &size) {
        d.resize(size);
        QApplication::processEvents();
        return view->columnCount();
    };
    const int homeColumns = view->columnCount();
    const int largeColumns = columnsAt(large);
    columnsAt(home);
    while (!settled())
        QApplication::processEvents();
    std::printf("%d columns at the default size, %d at 1920×1080\n", homeColumns, largeColumns);
    Steps dragged, jumps;
    drag(dragged);
    for (int i = 0; i < 2; ++i) {
        resizeTo(large, jumps);
        resizeTo(home, jumps);
    }
    // Last a width not seen before, which lines wider than a row wrap at.
    resizeTo(home + QSize(3 * int(view->cellWidth()), 0), jumps);
    dragged.print("dragged edge, to 1920x1080 and back");
    jumps.print("jumps to 1920x1080 and back, +3 cells");
    std::printf("  %d columns: ", view->columnCount());
    complete("after the last resize:");

    // Zoom in four steps and out three (Ctrl+plus, Ctrl+minus).
    Steps zoom;
    for (int i = 0; i < 4; ++i)
        timed(zoom, [&] { view->zoomIn(); });
    for (int i = 0; i < 3; ++i)
        timed(zoom, [&] { view->zoomOut(); });
    zoom.print("zoom in 4 and out 3");
    std::printf("  %d columns: ", view->columnCount());
    complete("after the last zoom:");
    view->zoomOut();

    // The timestamps gutter on and off: the text loses and gets back its width.
    Steps stamps;
    for (int i = 0; i < 4; ++i) {
        timed(stamps, [&] { view->setTimestamps(LogView::Timestamps::Off); });
        timed(stamps, [&] { view->setTimestamps(LogView::Timestamps::TimeOfDay); });
    }
    stamps.print("timestamps on / off");
    std::printf("  %d columns: ", view->columnCount());
    complete("after the last toggle:");
    view->setTimestamps(LogView::Timestamps::Off);

    // Zoomed in, where every change re-wraps lines that are wider than a row.
    for (int i = 0; i < 4; ++i)
        view->zoomIn();
    while (!settled())
        QApplication::processEvents();
    std::printf("zoomed in 4 steps: %d columns at the default size, %d at 1920×1080\n", columnsAt(home),
                columnsAt(large));
    columnsAt(home);
    while (!settled())
        QApplication::processEvents();
    Steps zoomedDrag, zoomedSteps;
    drag(zoomedDrag);
    for (int i = 0; i < 2; ++i) {
        timed(zoomedSteps, [&] { view->zoomIn(); });
        timed(zoomedSteps, [&] { view->setTimestamps(LogView::Timestamps::SincePrevious); });
        timed(zoomedSteps, [&] { view->zoomOut(); });
        timed(zoomedSteps, [&] { view->setTimestamps(LogView::Timestamps::Off); });
    }
    resizeTo(home + QSize(5 * int(view->cellWidth()), 0), zoomedSteps);
    zoomedDrag.print("zoomed: dragged edge");
    zoomedSteps.print("zoomed: zoom and timestamps, +5 cells");
    std::printf("  %d columns: ", view->columnCount());
    complete("after the last change:");

    all.print("every step above");
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
        return Resize(argc > 2 ? std::atoi(argv[2]) : 50, argc > 3 ? std::max(1, std::atoi(argv[3])) : 30);
    std::fprintf(stderr, "usage: view_bench hex [megabytes] | resize [megabytes] [sizes]\n");
    return 2;
}
