#include "widgets/logview.h"

#include "session/sessionlog.h"
#include "text/gbk.h"
#include "widgets/logviewlayout.h"

#include <QWidget>

#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>

// Painting: font metrics, the glyph cache and the rows on screen.

using LogViewLayout::kMargin;
using LogViewLayout::kRepaintInterval;
using LogViewLayout::layoutLine;
using LogViewLayout::Piece;

void LogView::updateMetrics()
{
    const QFont f = font();
    const QFontMetricsF fm(f);
    m_cellWidth = std::max<qreal>(1, fm.horizontalAdvance(QLatin1Char('M')));
    m_lineHeight = std::max(1, qCeil(fm.height()));
    m_ascent = qRound(fm.ascent());
    m_hasControlPictures = fm.inFontUcs4(0x2400) && fm.inFontUcs4(0x2421);
    m_boldFont = f;
    m_boldFont.setBold(true);
    // Fonts that glyphs are looked up in: the view's font, then the ones Qt
    // falls back to for Chinese and for symbols.
    for (int bold = 0; bold < 2; ++bold) {
        const QFont &face = bold ? m_boldFont : f;
        m_rawFonts[bold] = {QRawFont::fromFont(face), QRawFont::fromFont(face, QFontDatabase::SimplifiedChinese),
                            QRawFont::fromFont(face, QFontDatabase::Symbol)};
        m_glyphCache[bold].clear();
    }
    m_groups.clear();
    // Double-width glyphs are centred in their two cells.
    m_wideOffset = 0;
    const QRawFont &cjk = m_rawFonts[0][1];
    if (cjk.isValid()) {
        const QList<quint32> g = cjk.glyphIndexesForString(QStringLiteral("\u4E2D"));
        if (g.size() == 1) {
            const QList<QPointF> adv = cjk.advancesForGlyphIndexes(g);
            if (!adv.isEmpty())
                m_wideOffset = std::max<qreal>(0, (2 * m_cellWidth - adv[0].x()) / 2);
        }
    }
    m_tinyFont = f;
    m_tinyFont.setPixelSize(std::max(4, int(m_lineHeight * 0.42)));
    m_placeholders.clear();
}

QPixmap LogView::placeholder(uchar byte, const QColor &color) const
{
    const quint64 key = (quint64(color.rgba()) << 8) | byte;
    auto it = m_placeholders.constFind(key);
    if (it != m_placeholders.constEnd())
        return *it;
    const qreal dpr = viewport()->devicePixelRatioF();
    const QSizeF size(m_cellWidth, m_lineHeight);
    QPixmap pm((size * dpr).toSize());
    pm.setDevicePixelRatio(dpr);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    const QRectF cell(QPointF(0, 0), size);
    if (m_hasControlPictures) {
        p.setFont(font());
        p.setPen(color);
        p.drawText(QPointF(0, m_ascent), QString(QChar(Gbk::controlPicture(byte))));
    } else {
        // A small box with the byte's two hex digits stacked.
        QColor frame = color;
        frame.setAlphaF(0.55f);
        p.setPen(QPen(frame, 0));
        const QRectF box = cell.adjusted(0.5, 1.5, -0.5, -1.5);
        p.drawRect(box);
        p.setFont(m_tinyFont);
        p.setPen(color);
        static const char hex[] = "0123456789ABCDEF";
        const QRectF top(box.left(), box.top(), box.width(), box.height() / 2);
        const QRectF bottom(box.left(), box.center().y(), box.width(), box.height() / 2);
        p.drawText(top, Qt::AlignCenter, QString(QLatin1Char(hex[byte >> 4])));
        p.drawText(bottom, Qt::AlignCenter, QString(QLatin1Char(hex[byte & 15])));
    }
    p.end();
    if (m_placeholders.size() > 512)
        m_placeholders.clear();
    m_placeholders.insert(key, pm);
    return pm;
}

quint32 LogView::glyphFor(char16_t c, bool bold) const
{
    std::vector<quint32> &cache = m_glyphCache[bold ? 1 : 0];
    if (cache.empty())
        cache.assign(0x10000, 0);
    quint32 v = cache[c];
    if (v != 0)
        return v;
    v = kNoGlyph;
    const std::vector<QRawFont> &fonts = m_rawFonts[bold ? 1 : 0];
    for (size_t k = 0; k < fonts.size(); ++k) {
        if (!fonts[k].isValid() || !fonts[k].supportsCharacter(QChar(c)))
            continue;
        const QList<quint32> glyphs = fonts[k].glyphIndexesForString(QString(QChar(c)));
        if (glyphs.size() == 1 && glyphs[0] != 0 && glyphs[0] < (1u << 24)) {
            v = quint32(k + 1) << 24 | glyphs[0];
            break;
        }
    }
    cache[c] = v;
    return v;
}

void LogView::paintEvent(QPaintEvent *event)
{
    QElapsedTimer timer;
    timer.start();
    QPainter painter(viewport());
    if (!m_log)
        return;
    if (!m_index.isExact()) {
        // Scrolled to rows that are still estimates: settle them first; the
        // scroll bar follows with the next refresh.
        refineVisible(topRow());
        m_barDirty = true;
        if (!m_refreshTimer.isActive())
            m_refreshTimer.start(kRepaintInterval, this);
    }
    const QRect clip = event->rect();
    // Rows shown from another first row than the pixels around them: the
    // rest of the screen must follow.
    if (m_firstRow != m_shownFirstRow && !clip.contains(viewport()->rect()))
        viewport()->update();
    m_shownFirstRow = m_firstRow;
    const qsizetype first = firstVisibleRow();
    const qsizetype total = m_index.rowCount();
    const int rowFrom = std::max(0, clip.top() / m_lineHeight);
    const int rowTo = std::max(rowFrom, clip.bottom() / m_lineHeight);
    if (first + rowFrom >= total)
        return;

    const QPalette &pal = palette();
    const QColor plainColor = pal.color(QPalette::Text);
    const QColor selBack = pal.color(QPalette::Highlight);
    const QColor selText = pal.color(QPalette::HighlightedText);
    const qsizetype selA = selectionStart();
    const qsizetype selB = selectionEnd();
    const int columns = m_index.columns();
    const qreal cw = m_cellWidth;

    QByteArray bytes;
    QList<StyledRun> runs;
    std::vector<quint16> styleOf;
    // Backgrounds under the text: 1 on what the terminal added, 2 on a match
    // of the find bar, 3 on the current match.
    const bool finding = !m_findHighlight.isEmpty();
    const QColor backs[] = {QColor(), terminalTextBackground(), QColor(255, 236, 130), QColor(255, 170, 70)};
    QByteArray raw;
    std::vector<quint8> backOf;

    // Glyphs are collected per font and colour and drawn at the end in one
    // call each, after all selection backgrounds.
    for (GlyphGroup &g : m_groups) {
        g.glyphs.clear();
        g.positions.clear();
    }
    auto addGlyph = [&](quint32 ref, bool bold, QRgb color, QPointF pos) {
        const int font = int(ref >> 24) - 1 + (bold ? 0x100 : 0);
        GlyphGroup *group = nullptr;
        for (GlyphGroup &g : m_groups) {
            if (g.font == font && g.color == color) {
                group = &g;
                break;
            }
        }
        if (!group) {
            m_groups.push_back(GlyphGroup{font, color, {}, {}});
            group = &m_groups.back();
        }
        group->glyphs.append(ref & 0xFFFFFF);
        group->positions.append(pos);
    };
    struct Loose
    {
        QPointF pos;
        QString text;
        QColor color;
        bool bold;
    };
    std::vector<Loose> loose; // characters no cached font has: drawn with font fallback
    struct Picture
    {
        QPointF pos;
        uchar byte;
        QColor color;
    };
    std::vector<Picture> pictures;

    // Selection backgrounds, merged along each row.
    QRectF span;
    auto select = [&](const QRectF &r) {
        if (!span.isEmpty() && span.top() == r.top() && qAbs(span.right() - r.left()) < 0.01) {
            span.setRight(r.right());
            return;
        }
        if (!span.isEmpty())
            painter.fillRect(span, selBack);
        span = r;
    };
    auto cellRect = [&](qsizetype screenRow, int col, int cells) {
        return QRectF(kMargin + col * cw, qreal(screenRow * m_lineHeight), cells * cw, m_lineHeight);
    };

    LineIndex::RowPos rp = m_index.rowToLine(first + rowFrom);
    qsizetype line = rp.line;
    qsizetype lineTop = rowFrom - rp.rowInLine; // screen row of the line's first row
    const qsizetype lines = m_index.lineCount();
    while (line < lines && lineTop <= rowTo) {
        const qsizetype start = m_index.lineStart(line);
        fetchStyledLine(line, bytes, runs);
        const char *p = bytes.constData();
        const qsizetype n = bytes.size();
        const bool styled = !runs.isEmpty();
        if (styled) {
            styleOf.assign(size_t(n), 0);
            const qsizetype count = std::min<qsizetype>(runs.size(), 0xFFFF);
            for (qsizetype k = 0; k < count; ++k) {
                const qsizetype a = std::clamp<qsizetype>(runs[k].start, 0, n);
                const qsizetype b = std::clamp<qsizetype>(runs[k].start + runs[k].length, a, n);
                std::fill(styleOf.begin() + a, styleOf.begin() + b, quint16(k + 1));
            }
        }
        const bool backed = finding || m_markTerminal;
        if (backed)
            backOf.assign(size_t(n), 0);
        if (m_markTerminal) {
            for (const SessionLog::Range &r : m_log->TerminalRanges(start, start + n))
                std::fill(backOf.begin() + (r.from - start), backOf.begin() + (r.to - start), quint8(1));
        }
        if (finding) {
            // Found in the bytes as logged, not as restyled for display.
            fetchLine(line, raw);
            const qsizetype m = m_findHighlight.length();
            m_findHighlight.forEach(raw.constData(), raw.size(), raw.size(), [&](qsizetype at) {
                const quint8 mark = start + at == m_currentMatch ? 3 : 2;
                std::fill(backOf.begin() + at, backOf.begin() + std::min(at + m, n), mark);
                return true;
            });
        }
        qsizetype endRow = 0;
        int endCol = 0;
        bool complete = true;
        layoutLine(p, n, columns, m_index.tabWidth(), [&](const Piece &pc) {
            const qsizetype screenRow = lineTop + pc.row;
            endRow = pc.row;
            endCol = pc.col + pc.cells;
            if (screenRow < rowFrom)
                return true;
            if (screenRow > rowTo) {
                complete = false;
                return false;
            }
            const QRectF rect = cellRect(screenRow, pc.col, pc.cells);
            const bool selected = start + pc.offset >= selA && start + pc.offset < selB;
            if (selected)
                select(rect);
            else if (backed && backOf[size_t(pc.offset)] != 0)
                painter.fillRect(rect, backs[backOf[size_t(pc.offset)]]);
            const uchar b = uchar(p[pc.offset]);
            if (pc.unit.kind == Gbk::Kind::Tab || b == ' ')
                return true;
            const int style = styled ? styleOf[size_t(pc.offset)] : 0;
            const QColor color = selected ? selText : style == 0 ? plainColor : runs[style - 1].color;
            if (pc.unit.kind == Gbk::Kind::Control) {
                pictures.push_back({rect.topLeft(), b, color});
                return true;
            }
            const bool bold = style != 0 && runs[style - 1].bold;
            const char16_t ch = pc.unit.kind == Gbk::Kind::Double ? Gbk::decodePair(b, uchar(p[pc.offset + 1]))
                                : pc.unit.kind == Gbk::Kind::Text ? Gbk::decodeSingle(b)
                                                                  : u'\uFFFD';
            const qreal x = rect.left() + (pc.unit.kind == Gbk::Kind::Double ? m_wideOffset : 0);
            const QPointF pos(x, rect.top() + m_ascent);
            const quint32 ref = glyphFor(ch, bold);
            if (ref == kNoGlyph)
                loose.push_back({pos, QString(QChar(ch)), color, bold});
            else
                addGlyph(ref, bold, color.rgba(), pos);
            return true;
        });
        // A selected line break shows as one highlighted cell after the text.
        const qsizetype end = start + n;
        const qsizetype screenRow = lineTop + endRow;
        if (complete && m_index.lineBreakLength(line) > 0 && end >= selA && end < selB && endCol < columns
            && screenRow >= rowFrom && screenRow <= rowTo)
            select(cellRect(screenRow, endCol, 1));
        lineTop += m_index.lineRows(line);
        ++line;
    }
    if (!span.isEmpty())
        painter.fillRect(span, selBack);

    for (const Picture &pic : pictures)
        painter.drawPixmap(pic.pos, placeholder(pic.byte, pic.color));
    for (const GlyphGroup &g : m_groups) {
        if (g.glyphs.isEmpty())
            continue;
        QGlyphRun run;
        run.setRawFont(m_rawFonts[g.font >= 0x100 ? 1 : 0][size_t(g.font & 0xFF)]);
        run.setGlyphIndexes(g.glyphs);
        run.setPositions(g.positions);
        painter.setPen(QColor::fromRgba(g.color));
        painter.drawGlyphRun(QPointF(0, 0), run);
    }
    for (const Loose &l : loose) {
        painter.setFont(l.bold ? m_boldFont : font());
        painter.setPen(l.color);
        painter.drawText(l.pos, l.text);
    }
    if (m_groups.size() > 64)
        m_groups.clear();
    // The times beside the rows follow them.
    if (m_gutter)
        m_gutter->update();
    m_lastPaintMs = int(timer.elapsed());
}
