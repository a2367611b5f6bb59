#pragma once

#include <QDialog>
#include <memory>

namespace Ui { class AboutDialog; }

// The About box: product name and version, the maker and its web address.
class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    explicit AboutDialog(QWidget *parent = nullptr);
    ~AboutDialog() override;

private:
    std::unique_ptr<Ui::AboutDialog> ui;
};
