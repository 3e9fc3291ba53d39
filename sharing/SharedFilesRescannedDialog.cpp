#include "SharedFilesRescannedDialog.h"

#include "ui_SharedFilesRescannedDialog.h"

SharedFilesRescannedDialog::SharedFilesRescannedDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_SharedFilesRescannedDialog>())
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
}

SharedFilesRescannedDialog::~SharedFilesRescannedDialog() = default;

void SharedFilesRescannedDialog::Append(QString i_text)
{
    mp_ui->plainTextEdit->appendPlainText(i_text);
}
