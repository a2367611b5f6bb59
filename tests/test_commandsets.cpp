// Tests of the command sets in the main window: the "Module" folder at start,
// the Module Type box, loading a set (with its line in the log), saving it,
// and the list's Up, Down, Del and Add.

#include "commands/commandsetfiles.h"
#include "dialogsupport.h"
#include "messageboxcatcher.h"
#include "widgets/editablelistctrl.h"
#include "widgets/inplaceeditors.h"

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// A main window started in a fresh, empty current directory.
struct Rig
{
    QTemporaryDir dir;
    QString oldCurrent = QDir::currentPath();
    SessionLog log;
    std::unique_ptr<TerminalDialog> d;
    QComboBox *box = nullptr;
    QTableWidget *list = nullptr;

    explicit Rig(const std::function<void(const QString &)> &prepare = {})
    {
        if (!dir.isValid() || !QDir::setCurrent(dir.path()))
            qFatal("no temporary current directory");
        if (prepare)
            prepare(dir.path());
        d = std::make_unique<TerminalDialog>(log);
        box = FindControl<QComboBox>(*d, "moduleTypeList");
        list = FindControl<QTableWidget>(*d, "commandList");
    }
    ~Rig()
    {
        d.reset();
        QDir::setCurrent(oldCurrent);
    }
    QString module(const QString &file = {}) const
    {
        return dir.filePath(file.isEmpty() ? QStringLiteral("Module") : QStringLiteral("Module/") + file);
    }
    void Choose(const QString &name)
    {
        box->showPopup(); // rebuilt from the folder, as when the user opens it
        box->hidePopup();
        const int index = box->findText(name);
        QVERIFY2(index >= 0, qPrintable(name));
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    void Click(const char *button) { FindControl<QPushButton>(*d, button)->click(); }
    QStringList Column(int column) const
    {
        QStringList out;
        for (int r = 0; r < list->rowCount(); ++r)
            out << (list->item(r, column) ? list->item(r, column)->text() : QStringLiteral("<none>"));
        return out;
    }
    void SetRows(const QStringList &commands)
    {
        list->setRowCount(0);
        for (const QString &c : commands) {
            Click("addButton");
            list->item(list->rowCount() - 1, 1)->setText(c);
        }
    }
    void Select(std::initializer_list<int> rows)
    {
        list->clearSelection();
        for (int r : rows)
            list->selectionModel()->select(list->model()->index(r, 0),
                                           QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
};

const QByteArray kExample = "[example]\r\ncmdnum=6\r\ncmd1=AT\r\ncmd2=ATE0\r\ncmd3=AT+CMGF=1\r\ncmd4=AT+CSCA?\r\n"
                            "cmd5=AT+CMGR=1\r\ncmd6=AT+CMGD=1\r\n";

} // namespace

class TestCommandSets : public QObject
{
    Q_OBJECT

private slots:
    void firstStartLoadAndSave();
    void boxRebuiltWhenOpened();
    void fileNamedModuleBlocksTheFolder();
    void damagedCountAndFailedSave();
    void listEditing();
    void portBoxShowsTheStart();
    void commandsKeptByteForByte();
    void longCommandEditedWhole();
    // Last: it turns the user's data folder on for the rest of the process.
    void userDataFolder();
};

void TestCommandSets::firstStartLoadAndSave()
{
    Rig r;
    QCOMPARE(ReadAll(r.module("example.ini")), kExample);
    QCOMPARE(r.box->count(), 1);
    QCOMPARE(r.box->itemText(0), QString("example"));
    QCOMPARE(r.box->currentIndex(), -1);
    QCOMPARE(r.list->rowCount(), 0);
    QCOMPARE(r.list->horizontalHeaderItem(0)->text(), QString("ID"));
    QCOMPARE(r.list->horizontalHeaderItem(1)->text(), QString("Command"));
    QCOMPARE(r.list->columnWidth(0), 40);
    QCOMPARE(r.list->columnWidth(1), 295);

    r.log.Append("hello");
    MessageBoxCatcher boxes;
    r.Choose("example");
    static const QRegularExpression separator(
        "^hello\\r\\n----- example \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d -----\\r\\n$");
    QVERIFY2(separator.match(QString::fromLatin1(r.log.Text())).hasMatch(), r.log.Text().constData());
    QCOMPARE(r.Column(0), QStringList({"1", "2", "3", "4", "5", "6"}));
    QCOMPARE(r.Column(1), QStringList({"AT", "ATE0", "AT+CMGF=1", "AT+CSCA?", "AT+CMGR=1", "AT+CMGD=1"}));
    QCOMPARE(r.list->rowHeight(0), 20);
    QVERIFY(boxes.texts.isEmpty());

    // Saved unchanged: the same eight lines.
    r.Click("saveSetButton");
    QTRY_COMPARE(boxes.texts, QStringList({"save success!"}));
    QCOMPARE(ReadAll(r.module("example.ini")), kExample);

    // After Clear the next separator starts the log.
    r.Click("clearButton");
    r.Choose("example");
    QVERIFY(r.log.Text().startsWith("----- example "));
    // Loading the set again enters no cell a second time.
    QCOMPARE(static_cast<EditableListCtrl *>(r.list)->CellEditorCount(), 6);
}

void TestCommandSets::boxRebuiltWhenOpened()
{
    Rig r;
    MessageBoxCatcher boxes;
    r.Choose("example");
    // A set made while the window runs shows up the next time the list opens,
    // with the subfolder's file and without any choice.
    QDir().mkpath(r.module("sub"));
    WriteFile(r.module("sub/x.ini"), "[x]\r\ncmdnum=1\r\ncmd1=ATI\r\n");
    WriteFile(r.module("readme.txt"), "notes");
    r.box->showPopup();
    r.box->hidePopup();
    QCOMPARE(r.box->currentIndex(), -1);
    QStringList names;
    for (int i = 0; i < r.box->count(); ++i)
        names << r.box->itemText(i);
    names.sort();
    QCOMPARE(names, QStringList({"example", "readme.txt", "x"}));

    // No choice: Save writes nothing and says nothing; the rows stay.
    WriteFile(r.module("example.ini"), "[example]\r\ncmdnum=1\r\ncmd1=AT\r\n");
    r.Click("saveSetButton");
    QTest::qWait(50);
    QVERIFY(boxes.texts.isEmpty());
    QCOMPARE(ReadAll(r.module("example.ini")), QByteArray("[example]\r\ncmdnum=1\r\ncmd1=AT\r\n"));
    QCOMPARE(r.list->rowCount(), 6);

    // x is read from the folder itself, where there is no x.ini: no rows.
    r.Choose("x");
    QCOMPARE(r.list->rowCount(), 0);
    r.Choose("readme.txt");
    QCOMPARE(r.list->rowCount(), 0);
    QVERIFY(boxes.texts.isEmpty());
}

void TestCommandSets::fileNamedModuleBlocksTheFolder()
{
    Rig r([](const QString &dir) { WriteFile(dir + "/Module", "not a folder"); });
    QVERIFY(QFileInfo(r.module()).isFile());
    QCOMPARE(r.box->count(), 0);
    MessageBoxCatcher boxes;
    r.Click("saveSetButton");
    QTest::qWait(50);
    QVERIFY(boxes.texts.isEmpty());
}

void TestCommandSets::damagedCountAndFailedSave()
{
    Rig r;
    MessageBoxCatcher boxes;
    WriteFile(r.module("big.ini"), "[big]\r\ncmdnum=100001\r\ncmd1=AT\r\n");
    r.Choose("big");
    QTRY_COMPARE(boxes.texts.size(), 1);
    QVERIFY2(boxes.texts[0].contains(r.module("big.ini")), qPrintable(boxes.texts[0]));
    QCOMPARE(r.list->rowCount(), 0);
    QVERIFY(r.log.Text().startsWith("----- big "));

    // The folder replaced by a file: "save failed!".
    r.Choose("example");
    QVERIFY(QDir(r.module()).removeRecursively());
    WriteFile(r.module(), "now a file");
    boxes.texts.clear();
    r.Click("saveSetButton");
    QTRY_COMPARE(boxes.texts, QStringList({"save failed!"}));
}

void TestCommandSets::listEditing()
{
    Rig r;
    MessageBoxCatcher boxes;
    // An empty list: Up, Down and Del do nothing; Add twice gives IDs 1 and 2.
    for (const char *b : {"upButton", "downButton", "delButton"})
        r.Click(b);
    QCOMPARE(r.list->rowCount(), 0);
    r.Click("addButton");
    r.Click("addButton");
    QCOMPARE(r.Column(0), QStringList({"1", "2"}));
    QCOMPARE(r.Column(1), QStringList({"", ""}));
    QCOMPARE(r.list->selectionModel()->selectedRows().size(), 0);

    // Up swaps with the row above and keeps the selection on the index.
    r.SetRows({"AT", "ATE0", "AT+CSCA?"});
    r.Select({1});
    r.Click("upButton");
    QCOMPARE(r.Column(1), QStringList({"ATE0", "AT", "AT+CSCA?"}));
    QCOMPARE(r.Column(0), QStringList({"1", "2", "3"}));
    QCOMPARE(r.list->selectionModel()->selectedRows().value(0).row(), 1);
    r.Click("upButton");
    QCOMPARE(r.Column(1), QStringList({"AT", "ATE0", "AT+CSCA?"}));
    r.Click("downButton");
    QCOMPARE(r.Column(1), QStringList({"AT", "AT+CSCA?", "ATE0"}));
    // The bottom row does not go down, the top row does not go up.
    r.Select({2});
    r.Click("downButton");
    r.Select({0});
    r.Click("upButton");
    QCOMPARE(r.Column(1), QStringList({"AT", "AT+CSCA?", "ATE0"}));

    // Del removes the first selected row only and renumbers.
    r.SetRows({"AT", "ATE0", "AT+CSCA?"});
    r.Select({0, 2});
    r.Click("delButton");
    QCOMPARE(r.Column(1), QStringList({"ATE0", "AT+CSCA?"}));
    QCOMPARE(r.Column(0), QStringList({"1", "2"}));

    // Saved under a chosen type: the keys follow the rows.
    r.Choose("example");
    r.SetRows({"", ""});
    r.Click("saveSetButton");
    QTRY_COMPARE(boxes.texts, QStringList({"save success!"}));
    QCOMPARE(ReadAll(r.module("example.ini")), QByteArray("[example]\r\ncmdnum=2\r\ncmd1=\r\ncmd2=\r\n"));
}

void TestCommandSets::portBoxShowsTheStart()
{
    Rig r;
    auto *port = FindControl<QComboBox>(*r.d, "portList");
    r.d->SelectPort(TerminalDialog::kSimulatedPortName);
    QCOMPARE(port->lineEdit()->cursorPosition(), 0);
    QVERIFY(port->toolTip().startsWith(TerminalDialog::kSimulatedPortName));
    const QString path = "/dev/serial/by-id/usb-Example_Wireless_Module_LTE-if02-port0";
    r.d->SelectPort(path);
    QCOMPARE(port->lineEdit()->cursorPosition(), 0);
    QVERIFY(port->toolTip().startsWith(path));
}


// A command is stored and sent byte for byte, whatever its bytes: code page
// 936 text, bytes that are not (shown as \xHH), hand-written UTF-8.
void TestCommandSets::commandsKeptByteForByte()
{
    const QList<QByteArray> commands = {
        "AT+CMGS=\"\xC4\xE3\xBA\xC3\"", // GBK
        "AT\xFF",
        "AT+CMGS=\"\xE4\xBD\xA0\"", // UTF-8
        "AT\x81",
        "AT+X=\x80\x81\x30",
    };
    QByteArray file = "[bytes]\r\ncmdnum=5\r\n";
    for (int k = 0; k < commands.size(); ++k)
        file += "cmd" + QByteArray::number(k + 1) + '=' + commands[k] + "\r\n";
    Rig r([&](const QString &dir) {
        QDir(dir).mkdir("Module");
        WriteFile(dir + "/Module/bytes.ini", file);
    });
    PtyPair pty;
    UsePtyPort(*r.d, pty.slavePath());
    r.Click("startStopButton");
    QVERIFY(r.d->Session().isOpen());
    MessageBoxCatcher boxes;
    r.Choose("bytes");
    QCOMPARE(r.list->rowCount(), 5);
    QCOMPARE(r.Column(1).at(0), QString::fromUtf8("AT+CMGS=\"你好\""));
    QCOMPARE(r.Column(1).at(1), QString("AT\\xFF"));
    QVERIFY2(r.Column(1).at(2).endsWith("\\xA0\""), qPrintable(r.Column(1).at(2)));
    QCOMPARE(r.Column(1).at(3), QString("AT\\x81"));
    QVERIFY2(r.Column(1).at(4).endsWith("\\x810"), qPrintable(r.Column(1).at(4)));

    // Saved unchanged: the same bytes.
    r.Click("saveSetButton");
    QCOMPARE(ReadAll(r.module("bytes.ini")), file);
    // Each row double-clicked puts its exact bytes on the wire (end: NULL).
    for (int k = 0; k < commands.size(); ++k) {
        r.Select({k});
        r.d->CommandListDoubleClicked();
        QCOMPARE(pty.read(int(commands[k].size()), 1000) + pty.readFor(20), commands[k]);
    }
    // Send All sends the same bytes.
    r.d->SendAllClicked();
    QCOMPARE(pty.read(int(commands[0].size()), 1000), commands[0]);
    r.d->Session().flags().okSeen = true;
    QCOMPARE(pty.read(int(commands[1].size()), 1000), commands[1]);

    // An edit keeps the bytes it did not touch; Up moves the bytes too.
    auto *list = static_cast<EditableListCtrl *>(r.list);
    list->EndCellEdit(1, 1, QStringLiteral("ATI\\xFF"));
    QString fifth = r.Column(1).at(4);
    fifth.insert(fifth.size() - 5, QString::fromUtf8("中")); // before the \x81 shown
    list->EndCellEdit(4, 1, fifth);
    r.Select({1});
    r.Click("upButton");
    r.Click("saveSetButton");
    QCOMPARE(ReadAll(r.module("bytes.ini")),
             QByteArray("[bytes]\r\ncmdnum=5\r\ncmd1=ATI\xFF\r\ncmd2=AT+CMGS=\"\xC4\xE3\xBA\xC3\"\r\n"
                        "cmd3=AT+CMGS=\"\xE4\xBD\xA0\"\r\ncmd4=AT\x81\r\ncmd5=AT+X=\x80\xD6\xD0\x81\x30\r\n"));
    QCOMPARE(boxes.texts, QStringList({"save success!", "save success!"}));
}

// The in-place editor takes a command of any length whole: a click into it
// and a click elsewhere store nothing cut.
void TestCommandSets::longCommandEditedWhole()
{
    const QByteArray command = "AT+" + QByteArray(40000, 'A') + "\xFF";
    Rig r([&](const QString &dir) {
        QDir(dir).mkdir("Module");
        WriteFile(dir + "/Module/long.ini", "[long]\r\ncmdnum=1\r\ncmd1=" + command + "\r\n");
    });
    r.d->show();
    QVERIFY(QTest::qWaitForWindowExposed(r.d.get()));
    MessageBoxCatcher boxes;
    r.Choose("long");
    QCOMPARE(r.list->rowCount(), 1);
    const QRect cell = r.list->visualRect(r.list->model()->index(0, 1));
    QTest::mouseClick(r.list->viewport(), Qt::LeftButton, {}, cell.center());
    InPlaceEdit *editor = InPlaceEdit::OpenInstance();
    QVERIFY(editor);
    QCOMPARE(editor->text().size(), qsizetype(command.size() - 1 + 4));
    auto *other = FindControl<QLineEdit>(*r.d, "commandEdit");
    QTest::mouseClick(other, Qt::LeftButton);
    QVERIFY(!InPlaceEdit::OpenInstance());
    r.Click("saveSetButton");
    QCOMPARE(ReadAll(r.module("long.ini")), "[long]\r\ncmdnum=1\r\ncmd1=" + command + "\r\n");
    // The AT Command box keeps such a command whole too.
    other->setText(QString(40000, QLatin1Char('B')));
    QCOMPARE(other->text().size(), qsizetype(40000));
}

// Started from the menu: the sets live in $XDG_DATA_HOME/qrvterm/Module,
// made with the example and listed there; the current directory gets none.
void TestCommandSets::userDataFolder()
{
    QTemporaryDir data;
    QVERIFY(data.isValid());
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    QVERIFY(UseUserDataModuleDirectory());
    const QString folder = data.filePath(QStringLiteral("qrvterm/Module"));
    QCOMPARE(ModuleDirectory(), folder);
    Rig r([&](const QString &) { WriteFile(data.filePath(QStringLiteral("stray.ini")), kExample); });
    QCOMPARE(ReadAll(folder + QStringLiteral("/example.ini")), kExample);
    QVERIFY(!QFileInfo::exists(r.module()));
    WriteFile(folder + QStringLiteral("/bench.ini"), "[bench]\r\ncmdnum=1\r\ncmd1=ATI\r\n");
    r.Choose(QStringLiteral("bench"));
    QCOMPARE(r.Column(1), QStringList({"ATI"}));
    QCOMPARE(r.box->count(), 2);
    qunsetenv("XDG_DATA_HOME");
}

QTEST_MAIN(TestCommandSets)
#include "test_commandsets.moc"
