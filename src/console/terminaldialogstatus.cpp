#include "console/terminaldialog.h"

#include "at/commandframe.h"
#include "commands/commandlist.h"
#include "text/codepage936.h"
#include "ui_terminaldialog.h"
#include "widgets/dialoglayout.h"

#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QStatusBar>

// The status bar: the maker's parts, and what the window tells in passing
// (a wait for the device, a port that is not open, how a Send All run ended,
// a hint about the end character, where the log on disk goes).

namespace {

const char *const kProductTitle = "QRV无线模块调试工具V1.02";
const char *const kMakerMail = "qrv@example.com";
const char *const kMakerQQ = "80001234";
const char *const kMakerWeb = "www.example.com/qrv";
constexpr int kStatusBarHeight = 32;
constexpr int kStatusPart0Right = 500;

} // namespace

void TerminalDialog::SetupStatusBar()
{
    m_statusBar = new QStatusBar(this);
    m_statusBar->setObjectName(QStringLiteral("statusBar"));
    m_statusBar->setSizeGripEnabled(false);
    // The bar's pixel sizes are those of the standard dialog font; they grow
    // with the font the window really got, like everything else.
    const DialogUnits units = m_layout->units();
    const int barHeight = kStatusBarHeight * units.baseY / DialogUnits().baseY;
    const int part0Right = kStatusPart0Right * units.baseX / DialogUnits().baseX;
    const QSize form = m_layout->formSize();
    m_layout->addWidget(m_statusBar, QRect(0, form.height() - barHeight, form.width(), barHeight),
                        DialogLayout::MoveY | DialogLayout::SizeX);

    auto *part0 = new QWidget(m_statusBar);
    part0->setObjectName(QStringLiteral("statusPart0"));
    part0->setFixedWidth(part0Right - 8);
    auto *row = new QHBoxLayout(part0);
    row->setContentsMargins(2, 0, 2, 0);
    row->setSpacing(4);
    auto *icon = new QLabel(part0);
    icon->setPixmap(QIcon(QStringLiteral(":/icons/qrvterm.png")).pixmap(16, 16));
    row->addWidget(icon);
    const QString spaces8(8, QLatin1Char(' '));
    auto *text0 = new QLabel(QString::fromUtf8(kProductTitle) + spaces8 + QStringLiteral("Mail:")
                                 + QString::fromUtf8(kMakerMail) + spaces8 + QStringLiteral("QQ:")
                                 + QString::fromUtf8(kMakerQQ),
                             part0);
    text0->setObjectName(QStringLiteral("statusText0"));
    row->addWidget(text0, 1);
    m_statusBar->addWidget(part0);

    auto *text1 = new QLabel(QString(9, QLatin1Char(' ')) + QStringLiteral("欢迎访问QRV工作室 ")
                                 + QString::fromUtf8(kMakerWeb),
                             m_statusBar);
    text1->setObjectName(QStringLiteral("statusText1"));
    m_statusBar->addWidget(text1, 1);
    m_statusBar->show();
}


// The session stays: Stop stays Stop (it ends the wait), the lists stay
// locked, and the bar tells what the window waits for.
void TerminalDialog::OnWaitingForDevice()
{
    if (std::exchange(m_sendAllCut, false)) {
        m_statusBar->showMessage(
            QStringLiteral("Send All stopped: %1 went away. Waiting for it to come back… (Stop ends the wait)")
                .arg(m_session.portEntry()));
        return;
    }
    m_statusBar->showMessage(QStringLiteral("Waiting for %1 to come back… (Stop ends the wait)")
                                 .arg(m_session.portEntry()));
}

void TerminalDialog::ShowAway(const QString &what)
{
    if (m_session.isConnecting()) {
        m_statusBar->showMessage(QStringLiteral("%1: still connecting to %2… (Stop cancels)").arg(what, m_connectingTo));
        return;
    }
    m_statusBar->showMessage(QStringLiteral("%1: %2 is away. Waiting for it to come back… (Stop ends the wait)")
                                 .arg(what, m_session.portEntry()));
}

void TerminalDialog::OnConnecting()
{
    ShowPortOpen(true);
    m_statusBar->showMessage(QStringLiteral("Connecting to %1… (Stop cancels)").arg(m_connectingTo));
    m_connectingShown = true;
}

bool TerminalDialog::ShowIfPortClosed()
{
    if (m_session.isOpen() || m_session.isWaiting())
        return false;
    m_statusBar->showMessage(QStringLiteral("The port is not open: press Start"));
    return true;
}

void TerminalDialog::OnSendAllEnded(SendAllEngine::EndReason reason)
{
    ui->sendAllButton->setEnabled(true);
    const qsizetype sent = m_session.sendAll().Sent();
    // The row that was waiting for its answer: the last one sent.
    const int row = int(sent);
    const auto command = [this, row] {
        return row >= 1 && row <= m_commands->rowCount() ? FromCodePage936(m_commands->commandBytes(row - 1))
                                                         : QString();
    };
    const QString limitSeconds = QString::number(double(m_session.sendAll().TimeLimit()) / 1000.0);
    QString text;
    switch (reason) {
    case SendAllEngine::EndReason::Error:
        text = QStringLiteral("Send All stopped at row %1 (%2): the module answered ERROR").arg(row).arg(command());
        break;
    case SendAllEngine::EndReason::TimeLimit:
        if (m_session.flags().okSeen) { // the answer came, the limit with it
            text = QStringLiteral("Send All stopped before row %1: the run's limit of %2 s had passed")
                       .arg(sent + 1)
                       .arg(limitSeconds);
            break;
        }
        text = QStringLiteral("Send All stopped at row %1 (%2): no OK within the run's limit of %3 s")
                   .arg(row)
                   .arg(command())
                   .arg(limitSeconds);
        // Under NULL nothing ends a command line: the usual reason.
        if (m_session.endChar() == END_NULL)
            text += QStringLiteral(". With End Char NULL the module may still wait for the end of the line: try CR");
        break;
    case SendAllEngine::EndReason::RowsGone:
        text = QStringLiteral("Send All stopped at row %1: the row was deleted").arg(sent + 1);
        break;
    case SendAllEngine::EndReason::EndOfList:
        text = QStringLiteral("Send All ended: all %1 rows sent").arg(sent);
        break;
    case SendAllEngine::EndReason::None:
        return; // Stop, or the window closing: nothing to tell
    }
    m_statusBar->showMessage(text);
}

void TerminalDialog::OnOnlyEcho(const QByteArray &command)
{
    m_statusBar->showMessage(QStringLiteral("Only the echo of %1 came back: with End Char NULL the module may still "
                                            "wait for the end of the line. Try CR.")
                                 .arg(FromCodePage936(command)));
}

void TerminalDialog::OnLogFileStarted(const QString &path)
{
    m_connectingShown = false; // told over
    m_statusBar->showMessage(QStringLiteral("Log to Disk: writing to %1").arg(QDir::toNativeSeparators(path)));
}

void TerminalDialog::ShowSetupNote()
{
    const QString note = m_session.serial().SetupNote();
    if (note.isEmpty())
        return;
    const QString before = m_statusBar->currentMessage();
    m_statusBar->showMessage(before.isEmpty() ? note : before + QStringLiteral("; ") + note);
}
