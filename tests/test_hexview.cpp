// The hex dump of the log: its rows for a known log (code page 936 text
// across a row's end, control bytes, bytes that start nothing), following
// growth and Clear, selection and copy through the mouse and keys, the
// context menu's toggle, and what accessibility reads; 8 bytes a row where
// 16 do not fit, in the main window at its default size and in a view of
// any width, and a horizontal scroll bar where even 8 do not.

#include "session/sessionlog.h"
#include "widgets/hexview.h"
#include "widgets/logview.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QScrollBar>
#include <QTest>

// The main window, where this test is linked with it.
#include "findcontrol.h"
#include "console/terminaldialog.h"

class TestHexView : public QObject
{
    Q_OBJECT

    static QAction *MenuAction(LogView &v, const QString &text)
    {
        QMenu *menu = v.createContextMenu();
        menu->deleteLater();
        for (QAction *a : menu->actions())
            if (a->text() == text)
                return a;
        return nullptr;
    }

    // The hex view of `view`, switched on through the context menu.
    static HexView *SwitchToHex(LogView &view)
    {
        QAction *hex = MenuAction(view, QStringLiteral("Hex"));
        if (!hex || hex->isChecked())
            return nullptr;
        hex->trigger();
        return view.showsHex() ? view.hexView() : nullptr;
    }

    // Resizes `view` so that the hex view's viewport is `chars` digits wide.
    static void SetHexWidth(LogView &view, HexView *v, qreal chars)
    {
        const qreal cell = QFontMetricsF(v->font()).horizontalAdvance(QLatin1Char('0'));
        view.resize(int(std::ceil(chars * cell)) + view.width() - v->viewport()->width(), view.height());
        QApplication::processEvents();
    }

    // Whether the hex digits and the text of the last byte of a row are in
    // the viewport as it is scrolled.
    static bool LastByteInView(HexView *v, qsizetype row)
    {
        const QRect area = v->viewport()->rect();
        const qsizetype last = row * v->bytesPerRow() + v->bytesPerRow() - 1;
        return area.contains(v->byteRect(last)) && area.contains(v->cellRect(row, v->rowLength() - 1));
    }

private slots:
    void rowsOfAKnownLog()
    {
        SessionLog log;
        // "AT" CR LF, then 你好 whose second character begins on the row's
        // last byte, then a NUL, 0xFF, a tab and "OK".
        log.Append(QByteArray("AT\r\n012345678\xC4\xE3\xBA\xC3\x00\xFF\tOK", 22));
        HexView v;
        v.setLog(&log);
        QCOMPARE(v.rowCount(), 2);
        QCOMPARE(v.offsetDigits(), 8);
        QCOMPARE(v.rowText(0), QStringLiteral("00000000  41 54 0D 0A 30 31 32 33  34 35 36 37 38 C4 E3 BA  "
                                              "AT..012345678你好 "));
        QCOMPARE(v.rowText(0).size(), v.rowLength());
        // 好 begins on the row before: its second byte here is a blank.
        QCOMPARE(v.rowText(1), QStringLiteral("00000010  C3 00 FF 09 4F 4B").leftJustified(60, u' ')
                                   + QStringLiteral(" ...OK").leftJustified(16, u' '));
        QCOMPARE(v.rowText(2), QString());

        // Growth adds rows; a log past 4 GB would get longer offsets.
        log.Append(QByteArray(40, 'x'));
        v.logChanged(false);
        QCOMPARE(v.rowCount(), 4);
        QVERIFY(v.rowText(3).startsWith(QStringLiteral("00000030  78 78 78 78 78 78 ")));
        // A Clear starts over, with no selection.
        v.setSelection(3, 30);
        log.Clear();
        v.logChanged(false);
        QCOMPARE(v.rowCount(), 1);
        QVERIFY(!v.hasSelection());
        QCOMPARE(v.rowText(0).trimmed(), QStringLiteral("00000000"));
    }

    void selectCopyAndRead()
    {
        SessionLog log;
        for (int i = 0; i < 200; ++i)
            log.Append(QByteArray("AT+CSQ\r\n+CSQ: 20,99\r\n"));
        LogView view;
        view.setLog(&log);
        view.resize(900, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.logChanged(false);
        QAction *hex = MenuAction(view, QStringLiteral("Hex"));
        QVERIFY(hex && hex->isCheckable() && !hex->isChecked());
        hex->trigger();
        HexView *v = view.hexView();
        QVERIFY(v && v->isVisible());
        QVERIFY(MenuAction(view, QStringLiteral("Hex"))->isChecked());
        QCOMPARE(v->rowCount(), (200 * 21 + 15) / 16);

        // Drag from byte 2 of the first row (hex column) to byte 5 of the
        // second (text column): bytes 2..20 are selected.
        const QPoint from = v->byteRect(2).center() - QPoint(v->byteRect(2).width() / 4, 0);
        const QRect text5 = v->cellRect(1, v->rowLength() - 16 + 5);
        QTest::mousePress(v->viewport(), Qt::LeftButton, {}, from);
        QMouseEvent move(QEvent::MouseMove, QPointF(text5.left() + 1, text5.center().y()),
                         v->viewport()->mapToGlobal(QPointF(text5.left() + 1, text5.center().y())), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(v->viewport(), &move);
        QTest::mouseRelease(v->viewport(), Qt::LeftButton, {}, text5.topLeft() + QPoint(1, 1));
        QCOMPARE(v->selectionStart(), qsizetype(2));
        QCOMPARE(v->selectionEnd(), qsizetype(21));
        // The text view has the same selection.
        QCOMPARE(view.selectionStart(), qsizetype(2));
        QCOMPARE(view.selectionEnd(), qsizetype(21));

        QApplication::clipboard()->clear();
        QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier);
        const QString copied = QApplication::clipboard()->text();
        QCOMPARE(copied, QStringLiteral("00000000        2B 43 53 51 0D 0A  2B 43 53 51 3A 20 32 30    +CSQ..+CSQ: 20\n"
                                        "00000010  2C 39 39 0D 0A                                    ,99..           \n"));

        // Accessibility reads the rows as shown, and the selection in them.
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(v);
        QVERIFY(a && a->textInterface());
        QAccessibleTextInterface *t = a->textInterface();
        const int line = v->rowLength() + 1;
        QCOMPARE(t->text(0, line), v->rowText(0) + u'\n');
        QCOMPARE(t->characterCount(), int(v->rowCount()) * line);
        int start = 0, end = 0;
        t->selection(0, &start, &end);
        QCOMPARE(t->text(start, start + 2), QStringLiteral("2B"));
        QCOMPARE(end, line + v->hexColumn(5));
        int s = 0, e = 0;
        QCOMPARE(t->textAtOffset(line + 3, QAccessible::LineBoundary, &s, &e), v->rowText(1) + u'\n');
        QCOMPARE(s, line);
        t->setSelection(0, line + v->hexColumn(1), line + v->hexColumn(3));
        QCOMPARE(v->selectionStart(), qsizetype(17));
        QCOMPARE(v->selectionEnd(), qsizetype(19));

        // Ctrl+A, and the keys scroll; End shows the last row.
        QTest::keyClick(v, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(v->selectionEnd(), log.size());
        QTest::keyClick(v, Qt::Key_End);
        QCOMPARE(v->firstVisibleRow() + v->visibleRowCount(), v->rowCount());
        // Growth at the end stays in view.
        log.Append(QByteArray(64, 'z'));
        view.logChanged(false);
        QCOMPARE(v->firstVisibleRow() + v->visibleRowCount(), v->rowCount());

        // Back to text, at the same place.
        MenuAction(view, QStringLiteral("Hex"))->trigger();
        QVERIFY(!v->isVisible());
        QVERIFY(!view.showsHex());
    }

    // The window at its default size: the receive view is too narrow for 16
    // bytes a row, so the dump has 8, each row whole on screen with its text.
    // A wider window gets 16 again.
    void defaultWindowShowsWholeRows()
    {
        TerminalDialog::SetPortLister([] { return QStringList(); });
        SessionLog log;
        log.Append(QByteArray("ATI\r\nQuectel\r\nEC20F\r\nRevision: EC20CEFAR06A03M4G\r\n\xC4\xE3\xBA\xC3\r\nOK\r\n"));
        TerminalDialog d(log);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        const QSize defaultSize = d.size();
        auto *view = FindControl<LogView>(d, "receiveView");
        HexView *v = SwitchToHex(*view);
        QVERIFY(v);
        QCOMPARE(v->horizontalScrollBar()->value(), 0);
        for (qsizetype row = 0; row < v->rowCount() - 1; ++row)
            QVERIFY2(LastByteInView(v, row), qPrintable(QStringLiteral("row %1: %2").arg(row).arg(v->rowText(row))));
        // Nothing is off to the right to scroll to.
        QCOMPARE(v->horizontalScrollBar()->maximum(), 0);
        QCOMPARE(v->bytesPerRow(), 8);
        QCOMPARE(v->rowText(0), QStringLiteral("00000000  41 54 49 0D 0A 51 75 65  ATI..Que"));
        QCOMPARE(v->rowText(1), QStringLiteral("00000008  63 74 65 6C 0D 0A 45 43  ctel..EC"));

        // Grown, 16 a row as in a wide view; back at the default size, 8.
        d.resize(1920, 1080);
        QTRY_COMPARE(d.size(), QSize(1920, 1080));
        QCOMPARE(v->bytesPerRow(), 16);
        QCOMPARE(v->rowText(0), QStringLiteral("00000000  41 54 49 0D 0A 51 75 65  63 74 65 6C 0D 0A 45 43  "
                                               "ATI..Quectel..EC"));
        QVERIFY(LastByteInView(v, 0));
        d.resize(defaultSize);
        QTRY_COMPARE(d.size(), defaultSize);
        QCOMPARE(v->bytesPerRow(), 8);
        QVERIFY(LastByteInView(v, 0));

        // Switched from text far into a log, the dump opens at the same
        // bytes, whatever a row holds.
        MenuAction(*view, QStringLiteral("Hex"))->trigger(); // back to text
        QVERIFY(!view->showsHex());
        for (int i = 0; i < 400; ++i)
            log.Append(QByteArray("+CSQ: 20,99\r\n"));
        view->logChanged(false);
        view->scrollToRow(300);
        const qsizetype top = view->firstVisiblePosition();
        QVERIFY(top > 3000);
        v = SwitchToHex(*view);
        QVERIFY(v);
        QVERIFY2(v->firstVisiblePosition() <= top && top < v->firstVisiblePosition() + v->bytesPerRow(),
                 qPrintable(QStringLiteral("%1 for %2").arg(v->firstVisiblePosition()).arg(top)));
    }

    // 8 a row: the rows, a character across a row's end, selection from
    // both columns, copy, what accessibility reads, and the find highlight
    // where the byte is.
    void narrowRowsFollowTheCount()
    {
        SessionLog log;
        // 你 begins on the row's last byte, 好 on the next row's second.
        log.Append(QByteArray("0123456\xC4\xE3\xBA\xC3\r\nOK\r\n"));
        log.Append(QByteArray(40, 'x'));
        LogView view;
        view.setLog(&log);
        view.resize(900, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        HexView *v = SwitchToHex(view);
        QVERIFY(v);
        SetHexWidth(view, v, 60);
        QCOMPARE(v->bytesPerRow(), 8);
        QCOMPARE(v->horizontalScrollBar()->maximum(), 0);
        QCOMPARE(v->rowCount(), (log.size() + 7) / 8);
        QCOMPARE(v->rowLength(), 43);
        QCOMPARE(v->rowText(0), QStringLiteral("00000000  30 31 32 33 34 35 36 C4  0123456你"));
        QCOMPARE(v->rowText(1), QStringLiteral("00000008  E3 BA C3 0D 0A 4F 4B 0D   好..OK. "));
        QCOMPARE(v->rowText(2), QStringLiteral("00000010  0A 78 78 78 78 78 78 78  .xxxxxxx"));

        // Drag from byte 2's hex digits to the text of byte 13 (the "O"):
        // bytes 2..12 selected, across the row's end.
        const QPoint from = v->byteRect(2).center() - QPoint(v->byteRect(2).width() / 4, 0);
        const QRect text13 = v->cellRect(1, v->rowLength() - 8 + 5);
        QCOMPARE(v->positionAt(from), qsizetype(2));
        QCOMPARE(v->positionAt(text13.topLeft() + QPoint(1, 1)), qsizetype(13));
        QCOMPARE(v->positionAt(v->byteRect(11).topLeft() + QPoint(1, 1)), qsizetype(11));
        QTest::mousePress(v->viewport(), Qt::LeftButton, {}, from);
        QMouseEvent move(QEvent::MouseMove, QPointF(text13.left() + 1, text13.center().y()),
                         v->viewport()->mapToGlobal(QPointF(text13.left() + 1, text13.center().y())), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(v->viewport(), &move);
        QTest::mouseRelease(v->viewport(), Qt::LeftButton, {}, text13.topLeft() + QPoint(1, 1));
        QCOMPARE(v->selectionStart(), qsizetype(2));
        QCOMPARE(v->selectionEnd(), qsizetype(13));
        QCOMPARE(view.selectionEnd(), qsizetype(13));
        QApplication::clipboard()->clear();
        QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("00000000        32 33 34 35 36 C4    23456你\n"
                                                                   "00000008  E3 BA C3 0D 0A            好..    \n"));

        // Accessibility counts the rows as shown.
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(v);
        QVERIFY(a && a->textInterface());
        QAccessibleTextInterface *t = a->textInterface();
        const int line = v->rowLength() + 1;
        QCOMPARE(t->characterCount(), int(v->rowCount()) * line);
        QCOMPARE(t->text(line, 2 * line), v->rowText(1) + u'\n');
        int start = 0, end = 0;
        t->selection(0, &start, &end);
        QCOMPARE(start, v->hexColumn(2));
        QCOMPARE(end, line + v->hexColumn(5));
        t->setSelection(0, 2 * line + v->hexColumn(1), 2 * line + v->hexColumn(3));
        QCOMPARE(v->selectionStart(), qsizetype(17));
        QCOMPARE(v->selectionEnd(), qsizetype(19));
        QCOMPARE(v->byteOffsetOf(v->charOffsetOf(21)), qsizetype(21));

        // The current match's background is under its bytes in both columns.
        v->setSelection(0, 0);
        v->setFindHighlight(GbkFinder(QByteArray("OK"), true), 13);
        const QImage shot = v->viewport()->grab().toImage();
        const QColor current(255, 170, 70);
        QCOMPARE(shot.pixelColor(v->byteRect(14).topLeft() + QPoint(1, 1)), current);
        QCOMPARE(shot.pixelColor(v->cellRect(1, v->rowLength() - 8 + 6).topLeft() + QPoint(1, 1)), current);
        QVERIFY(shot.pixelColor(v->byteRect(6).topLeft() + QPoint(1, 1)) != current);
    }

    // 16 a row where they fit, 8 where they do not, with the first byte on
    // screen kept across the change; where even 8 do not fit, the scroll
    // bar reaches the rest.
    void rowWidthFollowsTheViewport()
    {
        SessionLog log;
        for (int i = 0; i < 200; ++i)
            log.Append(QByteArray("AT+CSQ\r\n+CSQ: 20,99\r\n"));
        LogView view;
        view.setLog(&log);
        view.resize(900, 300);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        HexView *v = SwitchToHex(view);
        QVERIFY(v);
        const int wide = v->rowLength() + 1; // a 16-byte row and a cell after it
        QCOMPARE(wide, 77);
        SetHexWidth(view, v, wide);
        QCOMPARE(v->bytesPerRow(), 16);
        QCOMPARE(v->horizontalScrollBar()->maximum(), 0);
        v->scrollToRow(100);
        QCOMPARE(v->firstVisiblePosition(), qsizetype(1600));
        SetHexWidth(view, v, wide - 1);
        QCOMPARE(v->bytesPerRow(), 8);
        QCOMPARE(v->firstVisiblePosition(), qsizetype(1600));
        QCOMPARE(v->rowCount(), (log.size() + 7) / 8);
        QVERIFY(LastByteInView(v, v->firstVisibleRow()));
        // A smaller font makes room for 16; the zoom undone, 8 again. (A
        // point less may keep a cell's whole pixels, as without hinting on
        // Windows: as many points as it takes.)
        const auto cell = [v] { return QFontMetrics(v->font()).horizontalAdvance(QLatin1Char('0')); };
        const int wideCell = cell();
        int steps = 0;
        while (cell() == wideCell && steps < 4) {
            view.zoomOut();
            ++steps;
        }
        QCOMPARE(v->bytesPerRow(), 16);
        QCOMPARE(v->firstVisiblePosition(), qsizetype(1600));
        for (; steps > 0; --steps)
            view.zoomIn();
        QCOMPARE(v->bytesPerRow(), 8);
        v->scrollToRow(201); // byte 1608, in the middle of a 16-byte row
        SetHexWidth(view, v, wide + 10);
        QCOMPARE(v->bytesPerRow(), 16);
        QCOMPARE(v->firstVisiblePosition(), qsizetype(1600));
        // The end stays in view across the change.
        QTest::keyClick(v, Qt::Key_End);
        SetHexWidth(view, v, 50);
        QCOMPARE(v->firstVisibleRow() + v->visibleRowCount(), v->rowCount());

        // Too narrow for 8: the bar scrolls to the text column.
        SetHexWidth(view, v, 30);
        QCOMPARE(v->bytesPerRow(), 8);
        QScrollBar *bar = v->horizontalScrollBar();
        QVERIFY(bar->isVisible() && bar->maximum() > 0);
        QVERIFY(!LastByteInView(v, v->firstVisibleRow()));
        bar->setValue(bar->maximum());
        QVERIFY(v->viewport()->rect().contains(v->cellRect(v->firstVisibleRow(), v->rowLength() - 1)));
        const QRect lastText = v->cellRect(v->firstVisibleRow(), v->rowLength() - 1);
        QCOMPARE(v->positionAt(lastText.topLeft() + QPoint(1, 1)), v->firstVisiblePosition() + 7);
    }
};

QTEST_MAIN(TestHexView)
#include "test_hexview.moc"
