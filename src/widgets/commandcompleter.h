#pragma once

#include <QObject>
#include <QStringList>

#include <functional>

class QAction;
class QCompleter;
class QLineEdit;
class QStandardItemModel;

// Completion and syntax help for a box where AT commands are typed.
// Ctrl+Space offers, for what is typed before the cursor, the forms of the
// commands the terminal knows (each with its syntax and description) and
// the commands of `more` (the loaded set, those sent before); choosing one
// puts it in the box: a known form up to its first parameter
// ("AT+CMGS="), another command whole. Once "Complete as You Type" (its
// action, for the box's context menu) is checked, the offer also opens as
// one types after "AT". F1 shows the entry of the command in the box as a
// tooltip: description, forms, parameters.
class CommandCompleter : public QObject
{
    Q_OBJECT
public:
    using Commands = std::function<QStringList()>;

    CommandCompleter(QLineEdit *box, Commands more = {});

    QCompleter *completer() const { return m_completer; }
    QAction *asYouTypeAction() const { return m_asYouType; }
    // Offers what completes the text before the cursor; false when
    // nothing does.
    bool offer();
    // The table's entry of the command in the box, as shown by F1; empty
    // when the table has none.
    QString entryText() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void fill(const QString &prefix);
    void insert(const QString &text);

    QLineEdit *m_box;
    Commands m_more;
    QStandardItemModel *m_model;
    QCompleter *m_completer;
    QAction *m_asYouType;
};
