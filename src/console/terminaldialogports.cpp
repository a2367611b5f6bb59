#include "console/terminaldialog.h"

#include "serial/deviceidentity.h"
#include "serial/serialsettings.h"
#include "ui_terminaldialog.h"

#include <QSerialPortInfo>
#include <QAbstractItemView>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyledItemDelegate>

// The Port list: COM1 … COM8, then the system's ports with what each one is,
// then the typed entries that opened in this run.

namespace {

// The Port list's entries stay the ports' names; the list shows what each
// one is beside it.
class PortItemDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (const QString identity = index.data(Qt::ToolTipRole).toString(); !identity.isEmpty())
            option->text += QStringLiteral("   ") + identity;
    }
};

QStringList SystemPorts()
{
    // COM1 … COM8 lead the list already (on Linux as ttyS0 … ttyS7).
    static const QRegularExpression firstEight(QStringLiteral("^COM[1-8]$"), QRegularExpression::CaseInsensitiveOption);
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        if (!info.portName().startsWith(QLatin1String("ttyS")) && !firstEight.match(info.portName()).hasMatch())
            names << info.portName();
    }
    return names;
}

TerminalDialog::PortLister &PortListerSlot()
{
    static TerminalDialog::PortLister lister = SystemPorts;
    return lister;
}

} // namespace

void TerminalDialog::SetPortLister(PortLister lister)
{
    PortListerSlot() = lister ? std::move(lister) : PortLister(SystemPorts);
}

void TerminalDialog::ListPorts()
{
    QComboBox *box = ui->portList;
    const int first = kComPortCount;
    const int end = box->count() - 1; // the simulated module's entry
    QStringList system = PortListerSlot()();
    // Typed entries that opened in this run (a network port, a path) stay.
    for (const QString &used : std::as_const(m_usedPorts))
        if (!system.contains(used))
            system << used;
    QStringList listed;
    for (int i = first; i < end; ++i)
        listed << box->itemText(i);
    if (listed == system) {
        FitPortListWidth();
        return;
    }
    // Replace only the system's ports; the chosen or typed entry stays as
    // it was, even when its port has gone (opening it then says why).
    const QString entry = box->currentText();
    {
        const QSignalBlocker blocker(box);
        for (int i = end - 1; i >= first; --i)
            box->removeItem(i);
        box->insertItems(first, system);
        // What each port is, beside its name in the list and in its tooltip.
        bool anyIdentity = false;
        for (int i = 0; i < system.size(); ++i) {
            const QString &name = system[i];
            const QString identity = PortIdentityText(name.startsWith(u'/') ? name : DevicePathForPort(name),
                                                      DeviceRoots::fromEnvironment());
            box->setItemData(first + i, identity, Qt::ToolTipRole);
            anyIdentity = anyIdentity || !identity.isEmpty();
        }
        // The list keeps the style's own look until there is something to
        // show beside a name.
        if (anyIdentity && !dynamic_cast<PortItemDelegate *>(box->itemDelegate()))
            box->setItemDelegate(new PortItemDelegate(box));
    }
    FitPortListWidth();
    SelectPort(entry);
}

// The box keeps its size in the form; its list is as wide as its widest
// entry (with what the port is), so that no entry is cut.
void TerminalDialog::FitPortListWidth()
{
    QAbstractItemView *view = ui->portList->view();
    const int frame = 2 * view->frameWidth() + view->verticalScrollBar()->sizeHint().width();
    view->setMinimumWidth(std::max(ui->portList->width(), view->sizeHintForColumn(0) + frame));
}

void TerminalDialog::SelectPort(const QString &name)
{
    const int index = ui->portList->findText(name);
    if (index >= 0)
        ui->portList->setCurrentIndex(index);
    else
        ui->portList->setEditText(name);
    ShowPortStart();
}

// A chosen entry shows its start ("Simulated mod…", "/dev/serial/by-id/…"),
// the whole name is in the tooltip.
void TerminalDialog::ShowPortStart()
{
    if (QLineEdit *edit = ui->portList->lineEdit(); edit && !edit->hasFocus())
        edit->setCursorPosition(0);
    SetPortToolTip(ui->portList->currentText());
}

void TerminalDialog::SetPortToolTip(const QString &entry)
{
    const int index = ui->portList->findText(entry);
    const QString identity = index >= 0 ? ui->portList->itemData(index, Qt::ToolTipRole).toString() : QString();
    ui->portList->setToolTip(entry + (identity.isEmpty() ? QString() : u'\n' + identity)
                             + QStringLiteral("\nPick a port or type a device path such as /dev/ttyUSB0"));
}


void TerminalDialog::KeepUsedPort(const QString &entry)
{
    if (entry.isEmpty() || m_usedPorts.contains(entry) || ui->portList->findText(entry) >= 0)
        return;
    m_usedPorts << entry;
    ListPorts();
}
