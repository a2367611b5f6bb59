#include "shell/aboutdialog.h"

#include "ui_aboutdialog.h"
#include "widgets/dialoglayout.h"

AboutDialog::AboutDialog(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::AboutDialog>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    // The form's places in this font, at a fixed size.
    (new DialogLayout(this))->setSizeConstraint(QLayout::SetFixedSize);
    connect(ui->okButton, &QPushButton::clicked, this, &QDialog::accept);
}

AboutDialog::~AboutDialog() = default;
