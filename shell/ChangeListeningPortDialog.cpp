#include "ChangeListeningPortDialog.h"

#include "StoreFunctions.h"
#include "ui_ChangeListeningPortDialog.h"

#include <QMessageBox>

namespace
{
// The obfuscated port is the one above the plain port, and must exist too.
constexpr int HighestPort = 65534;
} // namespace

ChangeListeningPortDialog::ChangeListeningPortDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_ChangeListeningPortDialog>())
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    // Five digits, the first not 0; a shorter entry reads without the unfilled places.
    mp_ui->portEdit->setInputMask(QStringLiteral("D9999"));
    mp_ui->portEdit->setText(QString::fromStdString(SettingValue("listening_port").AsString()));
}

ChangeListeningPortDialog::~ChangeListeningPortDialog() = default;

void ChangeListeningPortDialog::accept()
{
    const int l_port = mp_ui->portEdit->text().toInt(nullptr, 10);
    if (l_port < 1 || l_port > HighestPort)
    {
        QMessageBox::information(this, QStringLiteral("Invalid Port Number"),
                                 QStringLiteral("Port number must be in the range of 1 to 65534."));
        return;
    }
    if (l_port == SettingValue("listening_port").AsInt())
    {
        QMessageBox::information(this, QStringLiteral("Port Number Not Changed"),
                                 QStringLiteral("Port number has not been changed."));
        return;
    }
    QDialog::accept();
    SetSetting("new_listening_port", l_port);
    QMessageBox::information(
        this, QStringLiteral("Change to Listening Port Pending"),
        QStringLiteral("Changes to the listening port will take effect after a client restart."));
}
