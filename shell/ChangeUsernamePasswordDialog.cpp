#include "ChangeUsernamePasswordDialog.h"

#include "GeneralFunctions.h"
#include "StoreFunctions.h"
#include "ui_ChangeUsernamePasswordDialog.h"

namespace
{
QString SettingText(const char* ip_key)
{
    return FromUtf8(SettingValue(ip_key).AsString());
}
} // namespace

ChangeUsernamePasswordDialog::ChangeUsernamePasswordDialog(bool i_firstRun, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_ChangeUsernamePasswordDialog>()),
      m_firstRun(i_firstRun)
{
    mp_ui->setupUi(this);
    mp_ui->usernameEdit->setText(SettingText("username"));
    mp_ui->passwordEdit->setText(SettingText("password"));
    if (m_firstRun)
        setWindowTitle(QStringLiteral("Set Username/Password"));
    else
        // Freed however it closes: a cancelled dialog would otherwise stay for good.
        setAttribute(Qt::WA_DeleteOnClose);
    activateWindow();
}

ChangeUsernamePasswordDialog::~ChangeUsernamePasswordDialog() = default;

void ChangeUsernamePasswordDialog::accept()
{
    const QString l_username = mp_ui->usernameEdit->text().trimmed();
    const QString l_password = mp_ui->passwordEdit->text().trimmed();
    if (l_username.isEmpty() || l_password.isEmpty())
        return;
    QDialog::accept();
    SetSetting("username", l_username);
    SetSetting("password", l_password);
}
