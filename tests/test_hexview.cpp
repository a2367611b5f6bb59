// The hex dump of the log: its rows for a known log (code page 936 text
// across a row's end, control bytes, bytes that start nothing), following
// growth and Clear, selection and copy through the mouse and keys, the
// context menu's toggle, and what accessibility reads.

#include "session/sessionlog.h"
#include "widgets/hexview.h"
#include "widgets/logview.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QTest>

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
};

QTEST_MAIN(TestHexView)
#include "test_hexview.moc"
