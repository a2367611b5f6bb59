#include "console/terminaldialog.h"

#include "commands/commandlist.h"
#include "shell/aboutdialog.h"
#include "shell/helptext.h"
#include "shell/systemmenu.h"
#include "shell/webpanel.h"
#include "text/codepage936.h"
#include "ui_terminaldialog.h"
#include "widgets/answertips.h"
#include "widgets/commandcompleter.h"
#include "widgets/dialoglayout.h"

#include <QCloseEvent>
#include <array>
#include <limits>
#include <utility>
#include <QFileDialog>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QStatusBar>

namespace {

// The About item added to the system menu, and its command code.
const char *const kAboutMenuText = "关于 Corvane(&A)...";
constexpr unsigned kAboutCommand = 0x0010;

} // namespace

TerminalDialog::TerminalDialog(SessionLog &log, QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::TerminalDialog>())
    , m_log(log)
    , m_session(log)
{
    SetupWindow();
}

TerminalDialog::~TerminalDialog()
{
    m_session.disconnect(this);
    m_log.setStoreFailureHandler({});
}

SerialSettings TerminalDialog::SettingsFromControls() const
{
    SerialSettings settings;
    settings.portName = ui->portList->currentText().trimmed();
    settings.baudRate = SerialSettings::LeadingNumber(ui->speedList->currentText());
    settings.dataBits = quint8(std::min<quint32>(SerialSettings::LeadingNumber(ui->dataList->currentText()), 255));
    settings.parity = SerialSettings::ParityFromIndex(ui->parityList->currentIndex());
    settings.stopBits = SerialSettings::StopBitsFromIndex(ui->stopList->currentIndex());
    settings.rtsHandshake = ui->rtsCheck->isChecked();
    settings.dtrHandshake = ui->dtrCheck->isChecked();
    return settings;
}

// The receive view shows the session log and colours the AT vocabulary.
void TerminalDialog::SetupReceiveView()
{
    KeywordRichEdit *view = ui->receiveView;
    view->InitViewFormat();
    view->SetMatchCase(false);
    view->SetQuoteChars(QByteArrayLiteral("\""));
    view->SetCommentChars('\'', 0);
    view->SetCommentWord(QByteArrayLiteral("rem"));
    view->AppendKeywords(QByteArrayLiteral(
        " AT at ERROR READY OK MIPOPEN MIPRTCP MIPSTAT MIPCALL CSQ CPIN  IPCLOSE IPDATA CONNECT IPOPEN"));
    view->setLog(&m_log);
    ui->webPanel->SetColourRules(ColourRulesOf(*view));
    view->setToolTip(QStringLiteral("Received text (read-only): select and Ctrl+C to copy"));
    // Ctrl+F finds in the log from anywhere in the window.
    auto *find = new QAction(this);
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WindowShortcut);
    connect(find, &QAction::triggered, view, &LogView::openFindBar);
    addAction(find);
    // Opt-in: the session log written to a file as it arrives.
    m_logToDisk = new QAction(QStringLiteral("Log to Disk…"), this);
    m_logToDisk->setObjectName(QStringLiteral("logToDiskAction"));
    m_logToDisk->setCheckable(true);
    m_logToDisk->setToolTip(QStringLiteral("Write everything the view gets to a file as it arrives"));
    connect(m_logToDisk, &QAction::triggered, this, &TerminalDialog::OnLogToDiskToggled);
    view->addContextAction(m_logToDisk);
    // The log as saved, each line after its time: a choice apart from Save.
    auto *saveStamped = new QAction(QStringLiteral("Save with Timestamps…"), this);
    saveStamped->setObjectName(QStringLiteral("saveWithTimestampsAction"));
    saveStamped->setToolTip(QStringLiteral("Save the log with each line's time before it"));
    connect(saveStamped, &QAction::triggered, this, &TerminalDialog::SaveWithTimestampsClicked);
    view->addContextAction(saveStamped);
    // On by default: a device that goes away is waited for and reopened.
    m_reconnect = new QAction(QStringLiteral("Reconnect"), this);
    m_reconnect->setObjectName(QStringLiteral("reconnectAction"));
    m_reconnect->setCheckable(true);
    m_reconnect->setChecked(m_session.reconnect());
    m_reconnect->setToolTip(QStringLiteral("When the module goes away (reset, unplugged), wait for it and open it again"));
    connect(m_reconnect, &QAction::toggled, this, &TerminalDialog::setReconnect);
    view->addContextAction(m_reconnect);
    // Opt-in: what the module's answers mean, as tooltips.
    view->addContextAction((new AnswerTips(view))->action());
    SetupTransactions();
    // A long log keeps its older part in a temporary file; where that cannot
    // be written (a full disk), it keeps everything in memory, and says so.
    // Where the file cannot give back what it was given (an I/O error on its
    // disk), that part is gone, and it says so too.
    m_log.setStoreFailureHandler([this](SessionLog::StoreFault fault, const QString &reason) {
        const QString text =
            fault == SessionLog::StoreFault::CannotWrite
                ? QStringLiteral("The session log cannot keep its older part on disk:\n%1\n"
                                 "It keeps everything in memory from now on; nothing is lost.")
                : QStringLiteral("Part of the session log cannot be read back from its temporary file:\n%1\n"
                                 "That part is not shown, found or copied, and Save fails.");
        QMetaObject::invokeMethod(this, [this, text = text.arg(reason)] { ShowMessage(text); }, Qt::QueuedConnection);
    });
    connect(&m_session, &TerminalSession::logFileFailed, this, [this](const QString &reason) {
        setLogDirectory(QString());
        ShowMessage(QStringLiteral("The log on disk stopped:\n%1\nThe log in the window goes on.").arg(reason));
    });
}

void TerminalDialog::SetupWindow()
{
    // The icons are compiled into this library; a static library's resources
    // are not registered until asked for.
    Q_INIT_RESOURCE(resources);
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    // The form's places in this font; growth goes to the receive view and
    // the command list, the buttons below them follow the edges.
    m_layout = new DialogLayout(this);
    AddSystemMenuItem();
    setWindowIcon(QIcon(QStringLiteral(":/icons/qrvterm.png")));
    NavigateWebPanel();

    // The end-character radio buttons, in the order of their choices.
    const QList<QRadioButton *> radios { ui->endNullRadio, ui->endCrRadio,  ui->endLfRadio,
                                         ui->endCrLfRadio, ui->endSubRadio, ui->endCustomRadio };
    for (int i = 0; i < radios.size(); ++i)
        m_endCharGroup.addButton(radios[i], i);
    m_endCharGroup.button(m_session.endChar())->setChecked(true);

    // The "Module" folder, with the example set when it is first made.
    PrepareModuleDirectory(ModuleDirectory());

    FillLineSettingLists();
    SetupCommandList();

    SetupReceiveView();
    ListModuleTypes();

    SetupStatusBar();
    SetupLineActions();
    // Everything in place now, before the window is first shown.
    m_layout->activate();

    connect(ui->startStopButton, &QPushButton::clicked, this, &TerminalDialog::StartStopClicked);
    connect(ui->clearButton, &QPushButton::clicked, this, &TerminalDialog::ClearClicked);
    connect(ui->saveLogButton, &QPushButton::clicked, this, &TerminalDialog::SaveLogClicked);
    connect(ui->sendButton, &QPushButton::clicked, this, &TerminalDialog::SendClicked);
    connect(ui->commandEdit, &QLineEdit::returnPressed, this, &TerminalDialog::SendClicked);
    // A command of any length stays whole (QLineEdit cuts at 32767 by default).
    ui->commandEdit->setMaxLength(std::numeric_limits<int>::max());
    // Ctrl+Space and F1: the commands the terminal knows, the set's and the
    // history's.
    new CommandCompleter(ui->commandEdit, [this] {
        QStringList commands;
        for (const QByteArray &command : CommandList::commands(*m_commands))
            commands << FromCodePage936(command);
        for (auto it = m_history.entries().crbegin(); it != m_history.entries().crend(); ++it)
            commands << *it;
        return commands;
    });
    connect(ui->commandList, &QTableWidget::cellDoubleClicked, this, &TerminalDialog::CommandListDoubleClicked);
    connect(ui->sendAllButton, &QPushButton::clicked, this, &TerminalDialog::SendAllClicked);
    connect(ui->helpButton, &QPushButton::clicked, this, &TerminalDialog::HelpClicked);
    connect(ui->moduleTypeList, &RefreshingComboBox::PopupAboutToShow, this, &TerminalDialog::ListModuleTypes);
    connect(ui->moduleTypeList, &QComboBox::activated, this, &TerminalDialog::LoadCommandSet);
    connect(ui->saveSetButton, &QPushButton::clicked, this, &TerminalDialog::SaveCommandSet);
    connect(ui->upButton, &QPushButton::clicked, this, &TerminalDialog::UpClicked);
    connect(ui->downButton, &QPushButton::clicked, this, &TerminalDialog::DownClicked);
    connect(ui->delButton, &QPushButton::clicked, this, &TerminalDialog::DelClicked);
    connect(ui->addButton, &QPushButton::clicked, this, &TerminalDialog::AddClicked);
    connect(ui->portList, &RefreshingComboBox::PopupAboutToShow, this, &TerminalDialog::ListPorts);
    // While the list is open, a port that comes or goes shows at once. (The
    // watch is the connections' context: the list may close while the window
    // is destroyed, after the watch.)
    connect(ui->portList, &RefreshingComboBox::PopupAboutToShow, &m_portWatch, [this] {
        const DeviceRoots roots = DeviceRoots::fromEnvironment();
        m_portWatch.watch({roots.dev, roots.dev + QStringLiteral("/serial/by-id")});
    });
    connect(ui->portList, &RefreshingComboBox::popupHidden, &m_portWatch, [this] { m_portWatch.watch({}); });
    connect(&m_portWatch, &DeviceWatch::changed, this, &TerminalDialog::ListPorts);
    connect(ui->portList, &QComboBox::currentIndexChanged, this, &TerminalDialog::ShowPortStart);
    connect(ui->portList, &QComboBox::editTextChanged, this, &TerminalDialog::SetPortToolTip);
    ShowPortStart();
    connect(ui->aboutButton, &QPushButton::clicked, this, [this] {
        AboutDialog about(this);
        about.exec();
    });
    // The custom end's text is read as it stands at each send.
    connect(ui->customEndEdit, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_session.setCustomEnd(ToCodePage936(text)); });
    m_session.setCustomEnd(ToCodePage936(ui->customEndEdit->text()));
    connect(&m_session, &TerminalSession::logGrew, this, &TerminalDialog::RefreshReceiveView);
    connect(&m_session, &TerminalSession::commandSent, this, &TerminalDialog::CommandSent);
    connect(&m_session, &TerminalSession::connecting, this, &TerminalDialog::OnConnecting);
    connect(&m_session, &TerminalSession::opened, this, [this] {
        if (std::exchange(m_connectingShown, false))
            m_statusBar->clearMessage();
        ShowPortOpen(true);
        ShowSetupNote();
        KeepUsedPort(m_session.portEntry());
    });
    connect(&m_session, &TerminalSession::openFailed, this, &TerminalDialog::OnOpenFailed);
    connect(&m_session, &TerminalSession::deviceLost, this, &TerminalDialog::OnDeviceLost);
    connect(&m_session, &TerminalSession::waitingForDevice, this, &TerminalDialog::OnWaitingForDevice);
    connect(&m_session, &TerminalSession::deviceBack, this, [this] { m_statusBar->clearMessage(); });
    connect(&m_session, &TerminalSession::writeTimedOut, this, &TerminalDialog::ShowUnsent);
    connect(&m_session, &TerminalSession::sendAllStarted, this, [this] { ui->sendAllButton->setEnabled(false); });
    connect(&m_session, &TerminalSession::sendAllEnded, this, &TerminalDialog::OnSendAllEnded);
    connect(&m_session, &TerminalSession::onlyEchoCameBack, this, &TerminalDialog::OnOnlyEcho);
    connect(&m_session, &TerminalSession::logFileStarted, this, &TerminalDialog::OnLogFileStarted);
    connect(&m_session, &TerminalSession::sendAllCut, this, [this] { m_sendAllCut = true; });
}

void TerminalDialog::FillLineSettingLists()
{
    QStringList ports;
    for (int i = 1; i <= kComPortCount; ++i)
        ports << QStringLiteral("COM%1").arg(i);
    ports << kSimulatedPortName;
    ui->portList->addItems(ports);
    ListPorts();
    ui->portList->setCurrentIndex(0);

    ui->parityList->addItems({ QStringLiteral("NONE"), QStringLiteral("EVEN"), QStringLiteral("ODD") });
    ui->parityList->setCurrentIndex(0);

    ui->dataList->addItems({ QStringLiteral("5"), QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8") });
    ui->dataList->setCurrentIndex(3);

    ui->speedList->addItems({ QStringLiteral("300"), QStringLiteral("600"), QStringLiteral("1200"),
                              QStringLiteral("2400"), QStringLiteral("4800"), QStringLiteral("9600"),
                              QStringLiteral("14400"), QStringLiteral("19200"), QStringLiteral("38400"),
                              QStringLiteral("57600"), QStringLiteral("115200") });
    ui->speedList->setCurrentIndex(4);

    ui->stopList->addItems({ QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2") });
    ui->stopList->setCurrentIndex(0);

    ui->rtsCheck->setChecked(false);
    ui->dtrCheck->setChecked(false);
}

void TerminalDialog::AddSystemMenuItem()
{
    // Where the system has a menu for programs to add to (Windows); the
    // About button opens the About box everywhere.
    ::AddSystemMenuItem(this, QString::fromUtf8(kAboutMenuText), kAboutCommand);
}

bool TerminalDialog::nativeEvent(const QByteArray &eventType, void *message, qintptr *result)
{
    if (IsSystemMenuCommand(eventType, message, kAboutCommand)) {
        AboutDialog about(this);
        about.exec();
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);
}

void TerminalDialog::UpdateDataFromControls()
{
    m_session.setEndChar(std::max(0, m_endCharGroup.checkedId()));
}

void TerminalDialog::SetLineSettingListsEnabled(bool enabled)
{
    ui->stopList->setEnabled(enabled);
    ui->parityList->setEnabled(enabled);
    ui->portList->setEnabled(enabled);
    ui->dataList->setEnabled(enabled);
    ui->speedList->setEnabled(enabled);
}

void TerminalDialog::StartStopClicked()
{
    if (ui->startStopButton->text() != QLatin1String("Start")) {
        // What was told of the open port is past; what the close tells (a
        // paced send it stopped) stays.
        m_statusBar->clearMessage();
        const qint64 unsent = m_session.Close();
        ShowPortOpen(false);
        if (unsent > 0)
            ShowUnsent(unsent);
        return;
    }
    m_statusBar->clearMessage(); // what was told of the closed port is past
    const SerialSettings settings = SettingsFromControls();
    m_connectingTo = settings.portName;
    m_session.StartOpen(settings);
}

void TerminalDialog::ShowPortOpen(bool open)
{
    SetLineSettingListsEnabled(!open);
    ui->startStopButton->setText(open ? QStringLiteral("Stop") : QStringLiteral("Start"));
}

void TerminalDialog::OnOpenFailed(SerialSession::OpenResult result, const QString &why)
{
    // A port that took a while showed Stop meanwhile.
    ShowPortOpen(false);
    if (std::exchange(m_connectingShown, false))
        m_statusBar->clearMessage();
    // Settings refused: the reason (a network port's server's) goes with
    // that message.
    if (result == SerialSession::OpenResult::SettingsRejected) {
        ShowMessage(why.isEmpty() ? QStringLiteral("设置串口参数失败!") : QStringLiteral("设置串口参数失败!\n") + why);
        ShowMessage(QStringLiteral("串口被占用!"));
        return;
    }
    // A port in use says only that; any other cause is told below it.
    ShowMessage(why.isEmpty() ? QStringLiteral("串口被占用!") : QStringLiteral("串口被占用!\n") + why);
}

void TerminalDialog::RefreshReceiveView(bool scrollToEnd)
{
    ui->receiveView->logChanged(scrollToEnd);
}

void TerminalDialog::OnDeviceLost(const QString &devicePath, const QString &reason)
{
    m_sendAllCut = false;
    m_statusBar->clearMessage();
    ShowPortOpen(false);
    ShowMessage(QStringLiteral("串口已断开!\n%1\n%2").arg(devicePath, reason));
}

void TerminalDialog::setReconnect(bool on)
{
    const QSignalBlocker blocker(m_reconnect);
    m_reconnect->setChecked(on);
    m_session.setReconnect(on);
}

void TerminalDialog::setLogDirectory(const QString &folder)
{
    if (!folder.isEmpty())
        m_lastLogDirectory = folder;
    m_logToDisk->setChecked(!folder.isEmpty());
    // While on, the item says where the files go.
    m_logToDisk->setText(folder.isEmpty() ? QStringLiteral("Log to Disk…")
                                          : QStringLiteral("Log to Disk: %1").arg(QDir::toNativeSeparators(folder)));
    m_session.setLogDirectory(folder);
}

void TerminalDialog::OnLogToDiskToggled(bool on)
{
    if (!on) {
        setLogDirectory(QString());
        return;
    }
    const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Folder for the log on disk"),
                                                             m_lastLogDirectory);
    setLogDirectory(folder);
}

void TerminalDialog::ClearClicked()
{
    m_log.Clear();
    RefreshReceiveView(false);
}

QString TerminalDialog::LogFileTarget(const QString &chosenPath)
{
    if (chosenPath.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
        return chosenPath;
    return chosenPath + QLatin1String(".txt");
}

// The file a save dialog returns (empty when cancelled).
QString TerminalDialog::AskSavePath()
{
    return m_askSavePath ? m_askSavePath()
                         : QFileDialog::getSaveFileName(this, QString(), QString(),
                                                        QStringLiteral("Data Files(*.txt);;All Files(*.*)"), nullptr,
                                                        QFileDialog::DontConfirmOverwrite);
}

void TerminalDialog::SaveLogClicked()
{
    UpdateDataFromControls();
    const QString chosen = AskSavePath();
    if (chosen.isEmpty())
        return;
    SaveLogTo(chosen);
}

void TerminalDialog::SaveWithTimestampsClicked()
{
    const QString chosen = AskSavePath();
    if (!chosen.isEmpty())
        SaveLogTo(chosen, true);
}

bool TerminalDialog::SaveLogTo(const QString &chosenPath, bool withTimestamps)
{
    const QString target = LogFileTarget(chosenPath);
    // The question covers the file that is really written.
    if (QFileInfo::exists(target)
        && !AskYesNo(QStringLiteral("%1 已存在。\n要替换它吗?").arg(QDir::toNativeSeparators(target))))
        return false;
    QSaveFile file(target);
    // With timestamps: the view's format, the time of day when it shows none.
    LogView *view = ui->receiveView;
    const LogView::Timestamps mode =
        view->timestamps() == LogView::Timestamps::Off ? LogView::Timestamps::TimeOfDay : view->timestamps();
    const bool ok = file.open(QIODevice::WriteOnly)
        && (withTimestamps ? view->writeWithTimestamps(file, mode) : m_log.WriteTo(file)) && file.commit();
    if (!ok) {
        // Not written, or the log could not read back a part of itself: the
        // file is not committed, so none is left under the chosen name.
        QString reason = file.error() != QFileDevice::NoError ? file.errorString() : QString();
        if (reason.isEmpty())
            reason = !m_log.readError().isEmpty() ? m_log.readError() : view->lineIndex().readError();
        file.cancelWriting();
        if (!m_log.isEmpty())
            ShowMessage(QStringLiteral("save failed!\n%1\n%2").arg(QDir::toNativeSeparators(target), reason));
        return false;
    }
    return true;
}

void TerminalDialog::SendClicked()
{
    UpdateDataFromControls();
    const QString text = ui->commandEdit->text();
    if (text.isEmpty())
        return;
    // Commands are 8-bit text in code page 936.
    if (!m_session.SendCommandText(ToCodePage936(text), true)) {
        ShowAway(QStringLiteral("Not sent"));
        return;
    }
    m_history.add(text);
    ShowIfPortClosed();
}

void TerminalDialog::CommandListDoubleClicked()
{
    const int first = m_commands->firstSelectedRow();
    if (first < 0)
        return;
    const QByteArray command = m_commands->commandBytes(first);
    UpdateDataFromControls();
    if (!m_session.SendCommandText(command, false))
        ShowAway(QStringLiteral("Not sent"));
    else
        ShowIfPortClosed();
}

void TerminalDialog::ShowUnsent(qint64 bytes)
{
    ShowMessage(QStringLiteral("发送超时!\n%1\n%2 bytes were not sent: the port did not take them in time")
                    .arg(m_session.serial().DevicePath())
                    .arg(bytes));
}

void TerminalDialog::ShowMessage(const QString &text)
{
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
    box.exec();
}

bool TerminalDialog::AskYesNo(const QString &text)
{
    QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

// http://www.example.com/qrv/ under the key below (tools/encipher_link).
const char TerminalDialog::kStoredLink[] = "PIKKECEDEKMFCAHODOIPIFNOEJCLMKDDHCMBEBHPJJDFEAGGPLCGFNBMMNFHOGCE";
const char TerminalDialog::kLinkKey[9] = "Qrv#1.02";

// The panel is told its address once, here, and never again.
void TerminalDialog::NavigateWebPanel()
{
    std::array<char, 512> buffer {};
    // At most 511 bytes are deciphered, so the address always ends in a zero.
    m_linkCipher.DecipherLink(QByteArray(kStoredLink), buffer.data(), qsizetype(buffer.size()) - 1);
    ui->webPanel->Navigate(QString::fromLatin1(buffer.data()));
}

void TerminalDialog::HelpClicked()
{
    QMessageBox box(QMessageBox::NoIcon, HelpCaption(), HelpText(), QMessageBox::Ok, this);
    box.exec();
}

void TerminalDialog::SendAllClicked()
{
    if (m_session.sendAllActive())
        return; // one run at a time
    if (m_session.isWaiting() || m_session.isConnecting()) {
        ShowAway(QStringLiteral("Send All not started"));
        return;
    }
    // A run on a closed port would send nothing and only wait out its limit.
    if (ShowIfPortClosed())
        return;
    UpdateDataFromControls();
    m_session.startSendAll(m_commands->rowCount(), [this](qsizetype row) -> std::optional<QByteArray> {
        if (row >= m_commands->rowCount())
            return std::nullopt;
        return m_commands->commandBytes(int(row));
    });
}

void TerminalDialog::closeEvent(QCloseEvent *event)
{
    // A run in progress ends before the port is released.
    if (const qint64 unsent = m_session.Close(); unsent > 0)
        ShowUnsent(unsent);
    QDialog::closeEvent(event);
}

void TerminalDialog::keyPressEvent(QKeyEvent *event)
{
    // Enter and Esc never end the window: it ends only through a close
    // request, which closes the port properly first. Enter on a focused push
    // button presses it, as in any dialog.
    // Up and Down in the command box recall the commands sent from it.
    if ((event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) && event->modifiers() == Qt::NoModifier
        && focusWidget() == ui->commandEdit) {
        const QString text = ui->commandEdit->text();
        ui->commandEdit->setText(event->key() == Qt::Key_Up ? m_history.older(text) : m_history.newer(text));
        event->accept();
        return;
    }
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto *button = qobject_cast<QPushButton *>(focusWidget()); button && button->isEnabled())
            button->click();
        event->accept();
        return;
    case Qt::Key_Escape:
        if (m_stopSending->isEnabled())
            m_stopSending->trigger();
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}
