#pragma once

#include "commands/commandhistory.h"
#include "serial/devicewatch.h"
#include "session/terminalsession.h"
#include "shell/linkcipher.h"

#include <QButtonGroup>
#include <QDialog>
#include <QStringList>
#include <functional>
#include <memory>

class DialogLayout;
class QLabel;
class QStatusBar;
class CommandRows;
namespace Ui { class TerminalDialog; }
class TransactionsPane;
class ModemLinesStrip;
class QProgressDialog;

// The main window: line settings, the port's Start/Stop, the receive view
// over the session log, and sending commands.
class TerminalDialog : public QDialog
{
    Q_OBJECT
public:
    // The entry at the end of the Port list that starts the built-in
    // simulated module and opens it like any port.
    static inline const QString &kSimulatedPortName = PortOpener::kSimulatedPortName;
    // The Port list starts with COM1 … COM8.
    static constexpr int kComPortCount = 8;

    explicit TerminalDialog(SessionLog &log, QWidget *parent = nullptr);
    ~TerminalDialog() override;

    // Selects (or types) a Port list entry, e.g. from the command line.
    void SelectPort(const QString &name);
    // Turns the log on disk on in folder (off when empty), as the receive
    // view's "Log to Disk" does; e.g. from the command line.
    void setLogDirectory(const QString &folder);
    // Turns reconnect on (the default) or off, as the receive view's
    // "Reconnect" item does; e.g. --no-reconnect.
    void setReconnect(bool on);
    // Lists the ports the system reports now between COM8 and the simulated
    // module, keeping the chosen or typed entry; runs each time the Port
    // list opens, so that a module plugged in later shows up.
    void ListPorts();

    // Handlers, public so that tests can drive them like the buttons do.
    void StartStopClicked();
    void ReceiveChunk() { m_session.ReceiveChunk(); }
    void RefreshReceiveView(bool scrollToEnd);
    void ClearClicked();
    void SaveLogClicked();
    // Saves the log to the file a save dialog returned: ".txt" is added
    // unless the name ends with it, and an existing file is replaced only
    // after the user agrees. True when the file was written. With
    // timestamps each line comes after its time (the view's format, or the
    // time of day), as "Save with Timestamps…" in the view's menu asks.
    bool SaveLogTo(const QString &chosenPath, bool withTimestamps = false);
    void SaveWithTimestampsClicked();
    // Writes the session's transactions as the runner's JSON report (the
    // transactions pane's "Save Transactions…"); says why when it cannot.
    bool SaveTransactionsTo(const QString &path);
    // "Transactions" in the receive view's menu; the pane, once made.
    QAction *transactionsAction() const { return m_transactionsAction; }
    TransactionsPane *transactionsPane() const { return m_transactionsPane; }
    QString AskSavePath();
    void SendClicked();
    // Command sets: the Module Type box and the AT command list.
    void ListModuleTypes();
    void LoadCommandSet();
    void SaveCommandSet();
    void UpClicked();
    void DownClicked();
    void DelClicked();
    void AddClicked();
    void RenumberIds();
    void OnCellGetChoices(int column, QStringList *choices);
    void OnCellEdited(int row, int column, const QString &text);
    void CommandListDoubleClicked();
    // Sends the whole command list in sequence (the session's Send All).
    void SendAllClicked();
    void HelpClicked();

    // The serial line under the user's hands (the receive view's menu).
    // Each asks for its time or file in a dialog, then calls the handler
    // below that does the work (tests call those).
    QAction *lineAction(const QString &objectName) const;
    ModemLinesStrip *modemLinesStrip() const { return m_linesStrip; }
    void PulseLine(TerminalSession::Line line, int ms);
    void SendBreak(int ms);
    void SetPacing(int charDelayMs, int lineDelayMs);
    // Repeats the AT Command box's command every intervalMs; false when
    // nothing could start (an empty box, a closed port).
    bool StartRepeat(int intervalMs);
    // Sends a file's bytes as they are, or its text read as hex (the
    // custom box's rule: pairs of hex digits, spaces and line ends
    // between them ignored). Says why when it cannot; a file over
    // kAskAboveBytes is sent only after the user agrees.
    static constexpr qint64 kAskAboveBytes = 16 * 1024 * 1024;
    bool SendFile(const QString &path, bool asHex);
    // The web panel's address, enciphered, and the key that deciphers it.
    static const char kStoredLink[];
    static const char kLinkKey[9];

    // The session behind the window: port, log, reply flags, Send All.
    TerminalSession &Session() { return m_session; }

    // Where the ports that the system reports come from; replaceable so that
    // tests never probe the machine's real serial devices.
    using PortLister = std::function<QStringList()>;
    static void SetPortLister(PortLister lister);
    // Replaces the save-file dialog (tests).
    void SetSavePathAsker(std::function<QString()> asker) { m_askSavePath = std::move(asker); }

    static QString LogFileTarget(const QString &chosenPath);

signals:
    // A command's frame was handed to the port (by Send, double-click or
    // Send All).
    void CommandSent(const QByteArray &frame);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool nativeEvent(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    void SetupWindow();
    void FillLineSettingLists();
    void SetupStatusBar();
    void SetupReceiveView();
    void SetupTransactions();
    void SetupCommandList();
    void SetupLineActions();
    void ShowModemLines();
    void OnSendProgress(qint64 handed, qint64 total);
    void OnSendingEnded(qint64 handed, qint64 total, bool complete);
    void OnRepeatEnded();
    void ShowPortStart();
    void FitPortListWidth();
    // A typed entry that opened stays in the Port list for this run.
    void KeepUsedPort(const QString &entry);
    void SetPortToolTip(const QString &entry);
    SerialSettings SettingsFromControls() const;
    // Tells that bytes written to the port never went out.
    void ShowUnsent(qint64 bytes);
    void NavigateWebPanel();
    void AddSystemMenuItem();
    void UpdateDataFromControls();
    void SetLineSettingListsEnabled(bool enabled);
    void ShowPortOpen(bool open);
    void OnOpenFailed(SerialSession::OpenResult result, const QString &why);
    void OnDeviceLost(const QString &devicePath, const QString &reason);
    void OnWaitingForDevice();
    // Tells in the status bar that what (a command, a run) could not go
    // while the device is away, and what the window waits for.
    void ShowAway(const QString &what);
    void ShowMessage(const QString &text);
    // Says in the status bar that the port is not open (true then): Send
    // still does what it did, Send All does not start.
    bool ShowIfPortClosed();
    void OnSendAllEnded(SendAllEngine::EndReason reason);
    void OnOnlyEcho(const QByteArray &command);
    void OnLogFileStarted(const QString &path);
    // How the port just opened was set up, where the user should know (a
    // network port that takes no line settings).
    void ShowSetupNote();
    // A port that takes a while to open (over the network): Stop shows and
    // cancels, the bar says what is going on.
    void OnConnecting();
    void OnLogToDiskToggled(bool on);
    bool AskYesNo(const QString &text);

    std::unique_ptr<Ui::TerminalDialog> ui;
    SessionLog &m_log;
    TerminalSession m_session;
    std::unique_ptr<CommandRows> m_commands;
    QButtonGroup m_endCharGroup;
    DialogLayout *m_layout = nullptr;
    QStatusBar *m_statusBar = nullptr;
    std::function<QString()> m_askSavePath;
    LinkCipher m_linkCipher { kLinkKey };
    QAction *m_logToDisk = nullptr;
    QAction *m_transactionsAction = nullptr;
    TransactionsPane *m_transactionsPane = nullptr;
    QAction *m_reconnect = nullptr;
    ModemLinesStrip *m_linesStrip = nullptr;
    QAction *m_repeatAction = nullptr;
    QAction *m_stopSending = nullptr;
    QProgressDialog *m_fileProgress = nullptr; // while a file goes
    QString m_fileSending;                     // its name
    qint64 m_fileStartMs = 0;
    int m_pulseMs[2] = { 500, 500 };
    int m_breakMs = TerminalSession::kBreakDefaultMs;
    int m_repeatMs = 1000;
    DeviceWatch m_portWatch; // while the Port list is open
    CommandHistory m_history;
    QString m_lastLogDirectory;
    QStringList m_usedPorts;
    QString m_connectingTo; // the entry of the last Start
    bool m_connectingShown = false; // the bar says "Connecting to …"
    bool m_sendAllCut = false; // a run ended with its device, not yet told
};
