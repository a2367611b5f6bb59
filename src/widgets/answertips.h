#pragma once

#include <QObject>
#include <QString>

class LogView;
class QAction;

// What the module's answers mean, as the receive view's tooltips. Off until
// its action ("Explain Answers", for the view's context menu) is checked;
// then hovering a line the module sent shows its decoded meaning (signal in
// dBm, registration, errors in words, an SMS PDU read out), and a command
// line shows the command's syntax and description. The view's accessible
// description carries the same text: for the line under the mouse, and
// after a keyboard move for the cursor's line.
//
// A line is read with the command that asked for it: the nearest line
// before it that starts with "AT" (the echo or the terminal's own copy),
// looked for at most kContextLines lines back. The line after a PDU-mode
// header (+CMGR, +CMGL, +CMT, +CDS) is read as its PDU.
class AnswerTips : public QObject
{
    Q_OBJECT
public:
    static constexpr int kContextLines = 200;
    static constexpr int kMaxLineBytes = 4096;

    explicit AnswerTips(LogView *view);

    QAction *action() const { return m_action; }
    bool isOn() const;
    // The meaning of a line of the view's log; empty when the decoders
    // know nothing of it.
    QString explainLine(qsizetype line) const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QByteArray lineBytes(qsizetype line) const;
    void describe(qsizetype line);

    LogView *m_view;
    QAction *m_action;
};
