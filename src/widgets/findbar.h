#pragma once

#include "text/gbkfind.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class LogSearch;
class LogView;
class QLabel;
class QLineEdit;
class QToolButton;

// The find bar at the top of a LogView, above its text: incremental (the first match from the top of
// the screen shows as the text is typed), every match on screen highlighted,
// next and previous (Enter, F3; Shift+Enter, Shift+F3), case-insensitive
// unless "Aa" is on, and the count of matches, taken in slices so that the
// window never waits for a long log. Esc closes it.
class FindBar : public QWidget
{
    Q_OBJECT
public:
    explicit FindBar(LogView *view);
    ~FindBar() override;

    // Shows the bar with its text selected and the focus in it.
    void open();
    // Hides it and takes the highlights away.
    void close();

    QString text() const;
    void setText(const QString &text);
    void setCaseSensitive(bool on);
    // The match shown as the current one (its first byte), -1 for none.
    qsizetype current() const { return m_current; }
    qsizetype count() const;
    bool isCounted() const;
    // What the bar says about the count: "3 matches", "No matches", …
    QString countText() const;

public slots:
    void findNext();
    void findPrevious();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void restart();
    void show(qsizetype match);
    void showCount();
    void onLogUpdated();

    LogView *m_view;
    std::unique_ptr<LogSearch> m_search;
    GbkFinder m_finder;
    qsizetype m_current = -1;
    bool m_awaitingFirst = false;
    QLineEdit *m_edit;
    QToolButton *m_case;
    QLabel *m_count;
};
