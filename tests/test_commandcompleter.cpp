// Completion in the command box: Ctrl+Space offers the known forms and the
// set's commands for what is typed, choosing one fills the box, typing
// opens the offer only when asked for, F1 shows the command's entry; the
// offer and the entry are read through accessibility.
#include "widgets/commandcompleter.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QCompleter>
#include <QLineEdit>
#include <QTest>
#include <QToolTip>

namespace {

QStringList Offered(const QCompleter *completer)
{
    QStringList rows;
    const QAbstractItemModel *model = completer->completionModel();
    for (int row = 0; row < model->rowCount(); ++row)
        rows << model->index(row, 0).data().toString();
    return rows;
}

int RowStarting(const QCompleter *completer, const QString &text)
{
    const QStringList rows = Offered(completer);
    for (int row = 0; row < rows.size(); ++row)
        if (rows.at(row).startsWith(text))
            return row;
    return -1;
}

} // namespace

class TestCommandCompleter : public QObject
{
    Q_OBJECT

    QLineEdit *m_box = nullptr;
    CommandCompleter *m_completer = nullptr;

private slots:
    void init()
    {
        m_box = new QLineEdit;
        m_completer = new CommandCompleter(m_box, [] { return QStringList { QStringLiteral("AT+QENG=\"servingcell\""), QStringLiteral("AT+CMGF=0") }; });
        m_box->resize(300, 24);
        m_box->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_box));
        m_box->setFocus();
    }
    void cleanup()
    {
        QToolTip::hideText();
        delete m_box;
    }

    void ctrlSpaceOffersAndFills()
    {
        QTest::keyClicks(m_box, QStringLiteral("at+cmg"));
        QVERIFY(!m_completer->completer()->popup()->isVisible()); // not while typing, unless asked
        QTest::keyClick(m_box, Qt::Key_Space, Qt::ControlModifier);
        QAbstractItemView *popup = m_completer->completer()->popup();
        QVERIFY(popup->isVisible());
        const QStringList rows = Offered(m_completer->completer());
        // The set's command first, then the table's forms with their syntax.
        QCOMPARE(rows.value(0), QStringLiteral("AT+CMGF=0"));
        const int send = RowStarting(m_completer->completer(), QStringLiteral("AT+CMGS=<da>[,<toda>]"));
        QVERIFY2(send > 0, qPrintable(rows.join(u'\n')));
        for (const QString &row : rows)
            QVERIFY2(row.startsWith(QLatin1String("AT+CMG")), qPrintable(row));
        // The offer as accessibility reads it.
        QAccessibleInterface *list = QAccessible::queryAccessibleInterface(popup);
        QVERIFY(list);
        bool read = false;
        for (int i = 0; i < list->childCount() && !read; ++i)
            read = list->child(i)->text(QAccessible::Name).startsWith(QLatin1String("AT+CMGS=<da>"));
        QVERIFY(read);
        // Chosen: the form up to its first parameter.
        popup->setCurrentIndex(m_completer->completer()->completionModel()->index(send, 0));
        QTest::keyClick(popup, Qt::Key_Return);
        QCOMPARE(m_box->text(), QStringLiteral("AT+CMGS="));
        QVERIFY(!popup->isVisible());

        // A command of the set is put in whole.
        m_box->clear();
        QTest::keyClicks(m_box, QStringLiteral("AT+Q"));
        QTest::keyClick(m_box, Qt::Key_Space, Qt::ControlModifier);
        QCOMPARE(Offered(m_completer->completer()), QStringList { QStringLiteral("AT+QENG=\"servingcell\"") });
        QTest::keyClick(popup, Qt::Key_Return);
        QCOMPARE(m_box->text(), QStringLiteral("AT+QENG=\"servingcell\""));

        // A command typed whole still gets its forms.
        m_box->setText(QStringLiteral("AT+CSQ=1"));
        QVERIFY(m_completer->offer());
        QVERIFY(RowStarting(m_completer->completer(), QStringLiteral("AT+CSQ=?")) >= 0);
        // Nothing known: no offer.
        m_box->setText(QStringLiteral("hello"));
        QVERIFY(!m_completer->offer());
    }

    void asYouTypeWhenAskedFor()
    {
        m_completer->asYouTypeAction()->setChecked(true);
        QTest::keyClicks(m_box, QStringLiteral("AT+CR"));
        QVERIFY(m_completer->completer()->popup()->isVisible());
        QVERIFY(RowStarting(m_completer->completer(), QStringLiteral("AT+CREG?")) >= 0);
    }

    void f1ShowsTheEntry()
    {
        m_box->setText(QStringLiteral("AT+CMGS=\"+8613912345678\""));
        QTest::keyClick(m_box, Qt::Key_F1);
        QVERIFY(QToolTip::isVisible());
        const QString entry = m_completer->entryText();
        QVERIFY2(entry.startsWith(QLatin1String("AT+CMGS: ")) && entry.contains(QLatin1String("<da>")), qPrintable(entry));
        QVERIFY(QToolTip::text().contains(QLatin1String("AT+CMGS")));
        QCOMPARE(QAccessible::queryAccessibleInterface(m_box)->text(QAccessible::Description), entry);
        m_box->setText(QStringLiteral("hello"));
        QCOMPARE(m_completer->entryText(), QString());
    }
};

QTEST_MAIN(TestCommandCompleter)
#include "test_commandcompleter.moc"
