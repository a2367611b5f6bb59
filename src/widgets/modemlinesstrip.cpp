#include "widgets/modemlinesstrip.h"

#include <QAccessible>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>

namespace {

struct LampText
{
    const char *name;
    const char *meaning;
};
constexpr LampText kLampTexts[] = {
    { "CTS", "Clear To Send" },
    { "DSR", "Data Set Ready" },
    { "DCD", "Data Carrier Detect" },
    { "RI", "Ring Indicator" },
};

QPixmap LampPixmap(const QColor &colour, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour.darker(160), 1));
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(0.5, 0.5, size - 1, size - 1));
    return pixmap;
}

} // namespace

ModemLinesStrip::ModemLinesStrip(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("modemLinesStrip"));
    setAccessibleName(QStringLiteral("Modem lines"));
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(4, 0, 4, 0);
    row->setSpacing(8);
    for (int i = 0; i < LampCount; ++i) {
        auto *lamp = new QLabel(QString::fromLatin1(kLampTexts[i].name), this);
        lamp->setObjectName(QStringLiteral("lamp%1").arg(QString::fromLatin1(kLampTexts[i].name)));
        lamp->setAccessibleName(QString::fromLatin1(kLampTexts[i].name));
        lamp->setTextFormat(Qt::PlainText);
        m_lamps[size_t(i)] = lamp;
        row->addWidget(lamp);
    }
    m_rings = new QLabel(this);
    m_rings->setObjectName(QStringLiteral("ringCount"));
    m_rings->setAccessibleName(QStringLiteral("Rings"));
    row->addWidget(m_rings);
    showLamps();
}

void ModemLinesStrip::setLines(const std::array<bool, LampCount> &on, quint32 rings)
{
    if (on == m_on && rings == m_ringCount)
        return;
    m_on = on;
    m_ringCount = rings;
    showLamps();
}

void ModemLinesStrip::setReported(bool reported)
{
    if (reported == m_reported)
        return;
    m_reported = reported;
    if (!reported) {
        m_on = {};
        m_ringCount = 0;
    }
    showLamps();
}

QString ModemLinesStrip::summary() const
{
    if (!m_reported)
        return QStringLiteral("The port tells no modem lines");
    QStringList parts;
    for (int i = 0; i < LampCount; ++i)
        parts << QStringLiteral("%1 %2").arg(QString::fromLatin1(kLampTexts[i].name),
                                             m_on[size_t(i)] ? QStringLiteral("on") : QStringLiteral("off"));
    parts << (m_ringCount == 1 ? QStringLiteral("1 ring") : QStringLiteral("%1 rings").arg(m_ringCount));
    return parts.join(QStringLiteral(", "));
}

void ModemLinesStrip::showLamps()
{
    const int size = std::max(8, fontMetrics().height() * 2 / 3);
    const QPixmap grey = LampPixmap(QColor(0xC0, 0xC0, 0xC0), size);
    const QPixmap dark = LampPixmap(QColor(0x40, 0x50, 0x40), size);
    const QPixmap lit = LampPixmap(QColor(0x20, 0xD0, 0x30), size);
    for (int i = 0; i < LampCount; ++i) {
        QLabel *lamp = m_lamps[size_t(i)];
        const bool on = m_on[size_t(i)];
        const QString state = !m_reported ? QStringLiteral("not told") : on ? QStringLiteral("on") : QStringLiteral("off");
        // The dot before the name: a label shows either a pixmap or text,
        // so the name goes into a pixmap of both.
        const QString name = QString::fromLatin1(kLampTexts[i].name);
        QPixmap face(size + 4 + lamp->fontMetrics().horizontalAdvance(name), std::max(size, lamp->fontMetrics().height()));
        face.fill(Qt::transparent);
        {
            QPainter painter(&face);
            painter.drawPixmap(0, (face.height() - size) / 2, !m_reported ? grey : on ? lit : dark);
            painter.setFont(lamp->font());
            painter.setPen(palette().color(m_reported ? QPalette::WindowText : QPalette::PlaceholderText));
            painter.drawText(QRect(size + 4, 0, face.width() - size - 4, face.height()), Qt::AlignVCenter, name);
        }
        lamp->setPixmap(face);
        lamp->setToolTip(QStringLiteral("%1 (%2): %3").arg(QString::fromLatin1(kLampTexts[i].meaning), name, state));
        lamp->setAccessibleDescription(state);
        QAccessibleEvent event(lamp, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&event);
    }
    m_rings->setText(m_reported ? (m_ringCount == 1 ? QStringLiteral("1 ring") : QStringLiteral("%1 rings").arg(m_ringCount))
                                : QStringLiteral("no lines told"));
    m_rings->setToolTip(m_reported ? QStringLiteral("Rings counted since the port opened")
                                   : QStringLiteral("This port does not tell its status lines"));
    setAccessibleDescription(summary());
    QAccessibleEvent event(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
}
