#pragma once

#include <QWidget>

#include <array>

class QLabel;

// The port's status lines as four lamps (CTS, DSR, DCD, RI) and the rings
// counted since it opened. Each lamp is a label: its name and state are
// read by accessibility and shown in its tooltip. A port that tells no
// lines shows them grey and says so.
class ModemLinesStrip : public QWidget
{
    Q_OBJECT
public:
    enum Lamp { Cts, Dsr, Dcd, Ri, LampCount };

    explicit ModemLinesStrip(QWidget *parent = nullptr);

    void setLines(const std::array<bool, LampCount> &on, quint32 rings);
    // False: the open port (or none) tells no lines; the lamps go grey.
    void setReported(bool reported);
    bool lampOn(Lamp lamp) const { return m_on[lamp]; }
    bool reported() const { return m_reported; }
    // "CTS on, DSR on, DCD off, RI off, 2 rings", or why there is nothing.
    QString summary() const;

private:
    void showLamps();

    std::array<QLabel *, LampCount> m_lamps {};
    QLabel *m_rings = nullptr;
    std::array<bool, LampCount> m_on {};
    quint32 m_ringCount = 0;
    bool m_reported = false;
};
