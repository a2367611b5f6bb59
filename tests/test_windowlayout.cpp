// The main window's layout: every control where the form's template puts
// it at the default size, and the growth of a larger window going to the
// receive view and the command list.
#include "findcontrol.h"

#include "console/terminaldialog.h"
#include "session/sessionlog.h"
#include "shell/aboutdialog.h"
#include "widgets/dialogunits.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

namespace {

// The template, in dialog units, and what each control does when the window
// grows: x moves with the right edge, y with the bottom, w and h grow.
struct Place
{
    const char *name;
    QRect dlu;
    const char *follows;
};
const Place kTemplate[] = {
    { "portLabel", { 146, 11, 18, 8 }, "" },
    { "portList", { 167, 7, 48, 115 }, "" },
    { "startStopButton", { 348, 27, 37, 15 }, "" },
    { "speedLabel", { 226, 10, 21, 8 }, "" },
    { "dataLabel", { 145, 30, 20, 8 }, "" },
    { "parityLabel", { 308, 9, 25, 9 }, "" },
    { "stopLabel", { 230, 29, 18, 9 }, "" },
    { "speedList", { 249, 7, 48, 107 }, "" },
    { "dataList", { 168, 27, 45, 74 }, "" },
    { "parityList", { 338, 7, 47, 98 }, "" },
    { "stopList", { 249, 27, 48, 96 }, "" },
    { "rtsCheck", { 176, 47, 28, 10 }, "" },
    { "controlLabel", { 145, 48, 28, 8 }, "" },
    { "receiveView", { 389, 7, 262, 336 }, "wh" },
    { "commandList", { 145, 168, 240, 176 }, "h" },
    { "commandListLabel", { 146, 155, 237, 8 }, "" },
    { "moduleTypeLabel", { 146, 141, 45, 8 }, "" },
    { "moduleTypeList", { 197, 139, 188, 90 }, "" },
    { "sendButton", { 348, 117, 37, 15 }, "" },
    { "commandLabel", { 146, 121, 41, 8 }, "" },
    { "commandEdit", { 197, 119, 142, 12 }, "" },
    { "sendAllButton", { 335, 348, 50, 15 }, "y" },
    { "line1", { 147, 135, 240, 1 }, "" },
    { "line2", { 147, 66, 235, 1 }, "" },
    { "upButton", { 145, 348, 35, 15 }, "y" },
    { "downButton", { 183, 348, 35, 15 }, "y" },
    { "delButton", { 259, 348, 35, 15 }, "y" },
    { "saveSetButton", { 297, 348, 35, 15 }, "y" },
    { "webAddressLabel", { 394, 351, 101, 8 }, "y" },
    { "clearButton", { 561, 348, 37, 15 }, "xy" },
    { "saveLogButton", { 612, 348, 37, 15 }, "xy" },
    { "addButton", { 221, 348, 35, 15 }, "y" },
    { "endCharLabel", { 147, 74, 33, 8 }, "" },
    { "line3", { 145, 111, 241, 1 }, "" },
    { "customEndEdit", { 299, 91, 86, 12 }, "" },
    { "endNullRadio", { 192, 72, 32, 10 }, "" },
    { "endCrRadio", { 236, 72, 24, 10 }, "" },
    { "endLfRadio", { 272, 72, 24, 10 }, "" },
    { "endCrLfRadio", { 308, 72, 36, 10 }, "" },
    { "endSubRadio", { 356, 72, 28, 10 }, "" },
    { "endCustomRadio", { 191, 91, 104, 10 }, "" },
    { "dtrCheck", { 210, 47, 28, 10 }, "" },
    { "aboutButton", { 509, 348, 37, 15 }, "xy" },
    { "webPanel", { 4, 7, 137, 355 }, "h" },
    { "helpButton", { 306, 27, 37, 15 }, "" },
};
constexpr QSize kTemplateSize(656, 385);

} // namespace

class TestWindowLayout : public QObject
{
    Q_OBJECT

    // The pixels of a place in the window's font, moved and grown by
    // (dx, dy) as the control's rule says.
    static QRect Expected(const DialogUnits &units, const Place &p, int dx, int dy)
    {
        QRect r = units.ToPixels(p.dlu);
        const QByteArray f(p.follows);
        r.translate(f.contains('x') ? dx : 0, f.contains('y') ? dy : 0);
        r.setSize(r.size() + QSize(f.contains('w') ? dx : 0, f.contains('h') ? dy : 0));
        return r;
    }

    // Each control within two pixels of where it should be; a drop-down list
    // keeps its closed height and a label may run longer than its place.
    static void CheckPlaces(QWidget &d, int dx, int dy)
    {
        const DialogUnits units = DialogUnits::ForFont(d.font());
        for (const Place &p : kTemplate) {
            auto *w = FindControl<QWidget>(d, p.name);
            const QRect want = Expected(units, p, dx, dy);
            const QRect got = w->geometry();
            const bool combo = qobject_cast<QComboBox *>(w), label = qobject_cast<QLabel *>(w);
            const auto near = [](int a, int b) { return std::abs(a - b) <= 2; };
            const bool ok = near(got.x(), want.x()) && near(got.y(), want.y())
                            && (combo || near(got.height(), want.height()))
                            && (label ? got.width() >= want.width() - 2 : near(got.width(), want.width()));
            QVERIFY2(ok, qPrintable(QStringLiteral("%1 at %2,%3 %4x%5, the template's %6,%7 %8x%9")
                                        .arg(QLatin1String(p.name))
                                        .arg(got.x()).arg(got.y()).arg(got.width()).arg(got.height())
                                        .arg(want.x()).arg(want.y()).arg(want.width()).arg(want.height())));
        }
        auto *bar = FindControl<QStatusBar>(d, "statusBar");
        QCOMPARE(bar->geometry().bottomRight(), QPoint(d.width() - 1, d.height() - 1));
        QCOMPARE(bar->geometry().left(), 0);
    }

private slots:
    void initTestCase() { TerminalDialog::SetPortLister([] { return QStringList(); }); }

    void defaultSizeIsTheTemplate()
    {
        SessionLog log;
        TerminalDialog d(log);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        const DialogUnits units = DialogUnits::ForFont(d.font());
        const QSize size(units.ToPixelsX(kTemplateSize.width()), units.ToPixelsY(kTemplateSize.height()));
        QCOMPARE(d.size(), size);
        QCOMPARE(d.minimumSize(), size);
        QVERIFY(d.windowFlags() & Qt::WindowMaximizeButtonHint);
        CheckPlaces(d, 0, 0);
        // Smaller than the template it does not get.
        d.resize(size - QSize(200, 100));
        QCOMPARE(d.size(), size);
    }

    void growthGoesToTheViewAndTheList()
    {
        SessionLog log;
        TerminalDialog d(log);
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        const QSize base = d.size();
        d.resize(1920, 1080);
        QTRY_COMPARE(d.size(), QSize(1920, 1080));
        CheckPlaces(d, 1920 - base.width(), 1080 - base.height());
        // Maximised, and back to the template's places.
        d.showMaximized();
        QTest::qWait(50);
        d.showNormal();
        d.resize(base);
        QTRY_COMPARE(d.size(), base);
        CheckPlaces(d, 0, 0);
    }

    void aboutBoxKeepsItsTemplate()
    {
        QWidget parent;
        auto *about = new AboutDialog(&parent);
        const DialogUnits units = DialogUnits::ForFont(about->font());
        about->show();
        QVERIFY(QTest::qWaitForWindowExposed(about));
        QCOMPARE(about->size(), units.ToPixels(QRect(0, 0, 235, 55)).size());
        QCOMPARE(about->minimumSize(), about->maximumSize());
        QCOMPARE(FindControl<QPushButton>(*about, "okButton")->geometry(), units.ToPixels(QRect(178, 7, 50, 14)));
        QCOMPARE(FindControl<QLabel>(*about, "iconLabel")->geometry(), units.ToPixels(QRect(11, 17, 20, 20)));
    }
};

QTEST_MAIN(TestWindowLayout)
#include "test_windowlayout.moc"
