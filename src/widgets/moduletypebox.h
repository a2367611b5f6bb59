#pragma once

#include <QComboBox>

// The Module Type drop-down: it announces that its list is about to open, so
// that the owner can rebuild the entries from the folder each time.
class ModuleTypeBox : public QComboBox
{
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    void showPopup() override
    {
        emit PopupAboutToShow();
        QComboBox::showPopup();
    }

signals:
    void PopupAboutToShow();
};
