#pragma once

#include <QComboBox>

// A drop-down whose entries come from outside the program (the Module
// folder's files, the system's serial ports): it announces that its list is
// about to open, so that the owner can rebuild the entries each time.
class RefreshingComboBox : public QComboBox
{
    Q_OBJECT

public:
    using QComboBox::QComboBox;

    void showPopup() override
    {
        emit PopupAboutToShow();
        QComboBox::showPopup();
    }
    void hidePopup() override
    {
        QComboBox::hidePopup();
        emit popupHidden();
    }

signals:
    void PopupAboutToShow();
    void popupHidden();
};
