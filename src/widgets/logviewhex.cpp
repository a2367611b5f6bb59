// The hex dump in place of the text: LogView's half of HexView.
#include "widgets/hexview.h"
#include "widgets/logview.h"

#include <QMenu>

bool LogView::showsHex() const { return m_hex && m_hex->isVisibleTo(this); }

void LogView::setHexView(bool on)
{
    if (on == showsHex())
        return;
    if (on && !m_hex) {
        m_hex = new HexView(this);
        m_hex->setObjectName(QStringLiteral("hexView"));
        m_hex->setLog(m_log);
        connect(m_hex, &HexView::contextMenuWanted, this, [this](const QPoint &at) {
            QMenu *menu = createContextMenu();
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(at);
        });
        // One selection for both: what is selected in hex is selected in the
        // text when the view goes back.
        connect(m_hex, &HexView::selectionChanged, this,
                [this] { setSelection(m_hex->selectionAnchor(), m_hex->selectionCursor()); });
    }
    if (on) {
        const qsizetype top = firstVisiblePosition();
        m_hex->setLog(m_log); // takes up the log as it is now
        m_hex->setTerminalBackground(m_markTerminal ? terminalTextBackground() : QColor());
        m_hex->setFindHighlight(m_findHighlight, m_currentMatch);
        m_hex->setSelection(m_anchor, m_cursor);
        m_hex->show();
        placeOverlays();
        m_hex->scrollToPosition(top);
        m_hex->setFocus(Qt::OtherFocusReason);
    } else {
        const qsizetype top = m_hex->firstVisiblePosition();
        const bool focused = m_hex->hasFocus();
        m_hex->hide();
        placeOverlays();
        refineAround(top);
        scrollToRow(rowOfPosition(top));
        if (focused)
            setFocus(Qt::OtherFocusReason);
    }
}

void LogView::syncHexSelection()
{
    // A hidden dump does not follow the log, and would clip the selection to
    // the size it last knew: it takes the selection up when it is shown.
    if (showsHex())
        m_hex->setSelection(m_anchor, m_cursor);
}
