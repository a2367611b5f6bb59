// The window's transactions pane and its Save Transactions….
#include "console/terminaldialog.h"

#include "at/commandframe.h"
#include "runner/sessionreport.h"
#include "ui_terminaldialog.h"
#include "widgets/transactionspane.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QSaveFile>

void TerminalDialog::SetupTransactions()
{
    // The pane is made when first asked for.
    m_transactionsAction = new QAction(QStringLiteral("Transactions"), this);
    m_transactionsAction->setObjectName(QStringLiteral("transactionsAction"));
    m_transactionsAction->setCheckable(true);
    m_transactionsAction->setToolTip(QStringLiteral("List the session's AT commands and unsolicited result codes, decoded"));
    ui->receiveView->addContextAction(m_transactionsAction);
    connect(m_transactionsAction, &QAction::toggled, this, [this](bool on) {
        if (on && !m_transactionsPane) {
            m_transactionsPane = new TransactionsPane(m_session.transactions(), ui->receiveView, this);
            connect(m_transactionsPane, &TransactionsPane::shownChanged, m_transactionsAction, &QAction::setChecked);
            connect(m_transactionsPane, &TransactionsPane::saveRequested, this, [this] {
                const QString chosen =
                    m_askSavePath ? m_askSavePath()
                                  : QFileDialog::getSaveFileName(m_transactionsPane, QStringLiteral("Save Transactions"),
                                                                 QString(), QStringLiteral("JSON Files(*.json);;All Files(*.*)"));
                if (!chosen.isEmpty())
                    SaveTransactionsTo(chosen);
            });
        }
        if (m_transactionsPane)
            m_transactionsPane->setVisible(on);
    });
}

bool TerminalDialog::SaveTransactionsTo(const QString &path)
{
    SessionReportInfo info;
    info.setName = ui->moduleTypeList->currentText();
    info.port = m_session.portEntry();
    info.device = m_session.serial().DevicePath();
    info.lineSettings = QStringLiteral("%1 %2%3%4")
                            .arg(ui->speedList->currentText(), ui->dataList->currentText(),
                                 QStringLiteral("NEO").mid(std::clamp(ui->parityList->currentIndex(), 0, 2), 1),
                                 ui->stopList->currentText());
    static const char *const ends[] = { "NULL", "CR", "LF", "CRLF", "SUB" };
    info.endChar = m_session.endChar() >= 0 && m_session.endChar() < END_CUSTOM
                       ? QString::fromLatin1(ends[m_session.endChar()])
                       : ui->customEndEdit->text();
    QSaveFile file(path);
    QString error;
    const bool ok = file.open(QIODevice::WriteOnly) && WriteSessionReport(file, m_session.transactions(), info, &error)
                    && file.commit();
    if (!ok) {
        if (error.isEmpty())
            error = file.errorString();
        file.cancelWriting();
        ShowMessage(QStringLiteral("save failed!\n%1\n%2").arg(QDir::toNativeSeparators(path), error));
    }
    return ok;
}
