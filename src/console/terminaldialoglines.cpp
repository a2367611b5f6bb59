// The serial line under the user's hands: the status-line lamps and their
// marks, DTR and RTS while open, pulses, break, pacing, repeat and files.
// All of it from the receive view's menu; a user who turns nothing on sees
// the window as it was.
#include "console/terminaldialog.h"

#include "at/commandframe.h"
#include "text/codepage936.h"
#include "ui_terminaldialog.h"
#include "widgets/modemlinesstrip.h"

#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QSpinBox>
#include <QStatusBar>

namespace {

QString SizeText(qint64 bytes)
{
    if (bytes < 10 * 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < 10 * 1024 * 1024)
        return QStringLiteral("%1 KB").arg(double(bytes) / 1024, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(double(bytes) / (1024 * 1024), 0, 'f', 1);
}

QString LineName(TerminalSession::Line line)
{
    return line == TerminalSession::Line::Dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
}

// The one clock the file progress reads its elapsed time from.
qint64 NowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

} // namespace

void TerminalDialog::SetupLineActions()
{
    // One submenu of the view's menu holds them all.
    auto *lineMenu = new QMenu(QStringLiteral("Serial Line"), this);
    lineMenu->setObjectName(QStringLiteral("serialLineMenu"));
    lineMenu->setToolTipsVisible(true);
    ui->receiveView->addContextAction(lineMenu->menuAction());
    const auto add = [&](const char *name, const QString &text, const QString &tip, auto handler) {
        auto *action = new QAction(text, this);
        action->setObjectName(QString::fromLatin1(name));
        action->setToolTip(tip);
        connect(action, &QAction::triggered, this, handler);
        lineMenu->addAction(action);
        return action;
    };

    // The lamps, off by default: in the status bar's right end.
    m_linesStrip = new ModemLinesStrip(m_statusBar);
    m_linesStrip->hide();
    m_statusBar->addPermanentWidget(m_linesStrip);
    QAction *lamps = add("modemLinesAction", QStringLiteral("Modem Lines"),
                         QStringLiteral("Show the port's CTS, DSR, DCD and RI as lamps, and the rings counted"),
                         [this](bool on) {
                             m_linesStrip->setVisible(on);
                             ShowModemLines();
                         });
    lamps->setCheckable(true);
    QAction *marks = add("markLineChangesAction", QStringLiteral("Mark Line Changes"),
                         QStringLiteral("Write a marked line into the log when CTS, DSR, DCD or RI changes"),
                         [this](bool on) { m_session.setMarkLineChanges(on); });
    marks->setCheckable(true);
    lineMenu->addSeparator();
    connect(&m_session, &TerminalSession::modemLinesChanged, this, &TerminalDialog::ShowModemLines);
    connect(&m_session, &TerminalSession::opened, this, &TerminalDialog::ShowModemLines);

    // DTR and RTS: the boxes act at once while the port is open.
    connect(ui->dtrCheck, &QCheckBox::toggled, &m_session, &TerminalSession::setDtr);
    connect(ui->rtsCheck, &QCheckBox::toggled, &m_session, &TerminalSession::setRts);
    for (TerminalSession::Line line : { TerminalSession::Line::Dtr, TerminalSession::Line::Rts }) {
        const QString name = LineName(line);
        add(line == TerminalSession::Line::Dtr ? "pulseDtrAction" : "pulseRtsAction",
            QStringLiteral("Pulse %1…").arg(name),
            QStringLiteral("Turn %1 over from what its box says for a while, then put it back").arg(name), [this, line, name] {
                bool ok = false;
                const int ms = QInputDialog::getInt(this, QStringLiteral("Pulse %1").arg(name),
                                                    QStringLiteral("Hold %1 turned over for (ms):").arg(name),
                                                    m_pulseMs[int(line)], TerminalSession::kPulseMinMs,
                                                    TerminalSession::kPulseMaxMs, 100, &ok);
                if (ok)
                    PulseLine(line, ms);
            });
    }
    QAction *brk = add("sendBreakAction", QStringLiteral("Send Break…"),
                       QStringLiteral("Hold the line in the break condition for a while"), [this] {
                           bool ok = false;
                           const int ms = QInputDialog::getInt(this, QStringLiteral("Send Break"),
                                                               QStringLiteral("Break length (ms):"), m_breakMs, 1,
                                                               TerminalSession::kPulseMaxMs, 50, &ok);
                           if (ok)
                               SendBreak(ms);
                       });
    lineMenu->addSeparator();
    // As in Tera Term.
    brk->setShortcut(QKeySequence(Qt::ALT | Qt::Key_B));
    brk->setShortcutContext(Qt::WindowShortcut);
    addAction(brk);

    add("pacingAction", QStringLiteral("Pacing…"),
        QStringLiteral("A pause after each character and after each line end, for modules that lose bytes sent back to back"),
        [this] {
            QDialog dialog(this);
            dialog.setWindowTitle(QStringLiteral("Pacing"));
            auto *form = new QFormLayout(&dialog);
            auto *charDelay = new QSpinBox(&dialog);
            auto *lineDelay = new QSpinBox(&dialog);
            for (QSpinBox *box : { charDelay, lineDelay }) {
                box->setRange(0, PacedWriter::kMaxDelayMs);
                box->setSuffix(QStringLiteral(" ms"));
            }
            charDelay->setObjectName(QStringLiteral("charDelay"));
            lineDelay->setObjectName(QStringLiteral("lineDelay"));
            charDelay->setValue(m_session.pacing().charDelayMs);
            lineDelay->setValue(m_session.pacing().lineDelayMs);
            form->addRow(QStringLiteral("After each &character:"), charDelay);
            form->addRow(QStringLiteral("After each &line end:"), lineDelay);
            auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
            connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
            connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
            form->addRow(buttons);
            if (dialog.exec() == QDialog::Accepted)
                SetPacing(charDelay->value(), lineDelay->value());
        });

    m_repeatAction = add("repeatAction", QStringLiteral("Repeat Every…"),
                         QStringLiteral("Send the AT Command box's command again and again, until this is chosen again"),
                         [this] {
                             if (m_session.isRepeating()) {
                                 m_session.stopRepeat();
                                 return;
                             }
                             bool ok = false;
                             const int ms = QInputDialog::getInt(
                                 this, QStringLiteral("Repeat Every"),
                                 QStringLiteral("Send \"%1\" every (ms):").arg(ui->commandEdit->text()), m_repeatMs,
                                 TerminalSession::kRepeatMinMs, TerminalSession::kRepeatMaxMs, 100, &ok);
                             if (ok)
                                 StartRepeat(ms);
                         });
    m_repeatAction->setCheckable(true);
    connect(&m_session, &TerminalSession::repeatEnded, this, &TerminalDialog::OnRepeatEnded);
    // An edited command is not the one being repeated.
    connect(ui->commandEdit, &QLineEdit::textEdited, &m_session, &TerminalSession::stopRepeat);

    for (bool hex : { false, true })
        add(hex ? "sendHexFileAction" : "sendFileAction",
            hex ? QStringLiteral("Send Hex File…") : QStringLiteral("Send File…"),
            hex ? QStringLiteral("Send the bytes a file's hex text stands for")
                : QStringLiteral("Send a file's bytes as they are"),
            [this, hex] {
                const QString path = QFileDialog::getOpenFileName(
                    this, hex ? QStringLiteral("Send Hex File") : QStringLiteral("Send File"), QString(),
                    hex ? QStringLiteral("Hex text (*.hex *.txt);;All files (*)") : QStringLiteral("All files (*)"));
                if (!path.isEmpty())
                    SendFile(path, hex);
            });

    lineMenu->addSeparator();
    // Stops what is going out at its pace, a file or a repeat.
    // Esc, where the focused control has no use for it (the find bar and
    // the list's editors keep theirs): the window's keyPressEvent.
    m_stopSending = add("stopSendingAction", QStringLiteral("Stop Sending\tEsc"),
                        QStringLiteral("Stop a paced send, a file or a repeat"), [this] {
                            m_session.stopRepeat();
                            m_session.stopSending();
                        });
    m_stopSending->setEnabled(false);
    connect(&m_session, &TerminalSession::sendProgress, this, &TerminalDialog::OnSendProgress);
    connect(&m_session, &TerminalSession::sendingEnded, this, &TerminalDialog::OnSendingEnded);
}

QAction *TerminalDialog::lineAction(const QString &objectName) const
{
    return findChild<QAction *>(objectName);
}

void TerminalDialog::ShowModemLines()
{
    if (!m_linesStrip->isVisible())
        return;
    const SerialSession::ModemLines lines = m_session.modemLines();
    m_linesStrip->setReported(m_session.reportsModemLines());
    m_linesStrip->setLines({ lines.cts, lines.dsr, lines.dcd, lines.ri }, lines.rings);
}

void TerminalDialog::PulseLine(TerminalSession::Line line, int ms)
{
    m_pulseMs[int(line)] = ms;
    if (ShowIfPortClosed())
        return;
    if (m_session.pulseLine(line, ms))
        m_statusBar->showMessage(QStringLiteral("%1 turned over for %2 ms").arg(LineName(line)).arg(ms), 3000);
}

void TerminalDialog::SendBreak(int ms)
{
    m_breakMs = ms;
    if (ShowIfPortClosed())
        return;
    m_statusBar->showMessage(m_session.sendBreak(ms) ? QStringLiteral("Break sent: %1 ms").arg(ms)
                                                     : QStringLiteral("This port cannot send a break"),
                             3000);
}

void TerminalDialog::SetPacing(int charDelayMs, int lineDelayMs)
{
    m_session.setPacing({ charDelayMs, lineDelayMs });
    m_statusBar->showMessage(
        charDelayMs == 0 && lineDelayMs == 0
            ? QStringLiteral("Pacing off: everything goes as fast as the port takes it")
            : QStringLiteral("Pacing: %1 ms after each character, %2 ms after each line end").arg(charDelayMs).arg(lineDelayMs),
        5000);
}

bool TerminalDialog::StartRepeat(int intervalMs)
{
    m_repeatMs = intervalMs;
    UpdateDataFromControls();
    const QString text = ui->commandEdit->text();
    if (text.isEmpty()) {
        m_statusBar->showMessage(QStringLiteral("Nothing to repeat: type a command in the AT Command box"));
        m_repeatAction->setChecked(false);
        return false;
    }
    if (ShowIfPortClosed() || !m_session.startRepeat(ToCodePage936(text), true, intervalMs)) {
        m_repeatAction->setChecked(false);
        return false;
    }
    m_history.add(text);
    m_repeatAction->setChecked(true);
    m_stopSending->setEnabled(true);
    m_statusBar->showMessage(
        QStringLiteral("Repeating \"%1\" every %2 ms (Esc, Stop or editing the command stops it)").arg(text).arg(intervalMs));
    return true;
}

void TerminalDialog::OnRepeatEnded()
{
    m_repeatAction->setChecked(false);
    m_stopSending->setEnabled(m_session.isSending());
    m_statusBar->showMessage(QStringLiteral("Repeat stopped"), 5000);
}

bool TerminalDialog::SendFile(const QString &path, bool asHex)
{
    if (ShowIfPortClosed())
        return false;
    QFile file(path);
    const QString name = QFileInfo(path).fileName();
    if (!file.open(QIODevice::ReadOnly)) {
        ShowMessage(QStringLiteral("Cannot read %1:\n%2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    if (file.size() > kAskAboveBytes
        && !AskYesNo(QStringLiteral("%1 is %2. Send all of it?").arg(name, SizeText(file.size()))))
        return false;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        ShowMessage(QStringLiteral("Cannot read %1:\n%2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return false;
    }
    if (asHex) {
        QString why;
        const std::optional<QByteArray> decoded = HexTextToBytes(bytes, &why);
        if (!decoded) {
            ShowMessage(QStringLiteral("%1 is not hex text: %2\nNothing was sent.").arg(name, why));
            return false;
        }
        bytes = *decoded;
    }
    if (bytes.isEmpty()) {
        m_statusBar->showMessage(QStringLiteral("%1 is empty: nothing to send").arg(name));
        return false;
    }
    if (!m_session.sendBytes(bytes, "file " + ToCodePage936(name))) {
        ShowAway(QStringLiteral("Not sent"));
        return false;
    }
    m_fileSending = name;
    m_fileStartMs = NowMs();
    if (m_session.isSending()) {
        m_stopSending->setEnabled(true);
        m_fileProgress = new QProgressDialog(QStringLiteral("Sending %1…").arg(name), QStringLiteral("Cancel"), 0, 1000, this);
        m_fileProgress->setObjectName(QStringLiteral("fileProgress"));
        m_fileProgress->setWindowTitle(QStringLiteral("Send File"));
        m_fileProgress->setAttribute(Qt::WA_DeleteOnClose);
        m_fileProgress->setAutoClose(false);
        m_fileProgress->setAutoReset(false);
        m_fileProgress->setMinimumDuration(300);
        connect(m_fileProgress, &QProgressDialog::canceled, &m_session, &TerminalSession::stopSending);
    }
    return true;
}

void TerminalDialog::OnSendProgress(qint64 handed, qint64 total)
{
    m_stopSending->setEnabled(true);
    if (!m_fileProgress || total <= 0)
        return;
    m_fileProgress->setValue(int(handed * 1000 / total));
    const qint64 spent = NowMs() - m_fileStartMs;
    QString left;
    if (handed > 0 && spent > 500) {
        const qint64 seconds = (total - handed) * spent / handed / 1000;
        left = seconds >= 60 ? QStringLiteral(", about %1 min %2 s left").arg(seconds / 60).arg(seconds % 60)
                             : QStringLiteral(", about %1 s left").arg(seconds);
    }
    m_fileProgress->setLabelText(
        QStringLiteral("Sending %1: %2 of %3%4").arg(m_fileSending, SizeText(handed), SizeText(total), left));
}

void TerminalDialog::OnSendingEnded(qint64 handed, qint64 total, bool complete)
{
    m_stopSending->setEnabled(m_session.isRepeating());
    const bool file = m_fileProgress != nullptr;
    if (file) {
        m_fileProgress->disconnect(&m_session);
        m_fileProgress->close();
        m_fileProgress = nullptr;
    }
    // A paced command that went whole needs no word; a file does.
    if (complete && file)
        m_statusBar->showMessage(QStringLiteral("Sent %1: %2").arg(m_fileSending, SizeText(total)), 5000);
    else if (!complete)
        m_statusBar->showMessage(file ? QStringLiteral("Stopped sending %1: %2 of %3 bytes went")
                                            .arg(m_fileSending)
                                            .arg(handed)
                                            .arg(total)
                                      : QStringLiteral("Stopped sending: %1 of %2 bytes went").arg(handed).arg(total));
}
