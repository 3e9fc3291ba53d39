#include "AddUserDialog.h"

#include "Data.h"
#include "Server.h"
#include "ui_AddUserDialog.h"

AddUserDialog::AddUserDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_AddUserDialog>())
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(mp_ui->addFriendButton, &QPushButton::clicked, this, &AddUserDialog::OnAddUserClicked);
    connect(gp_server, &Server::AddUserResponse, this, &AddUserDialog::OnAddUserResponse);
}

AddUserDialog::~AddUserDialog() = default;

void AddUserDialog::SetWaiting(bool i_waiting)
{
    mp_ui->userNameEdit->setReadOnly(i_waiting);
    mp_ui->addFriendButton->setEnabled(!i_waiting);
}

void AddUserDialog::OnAddUserClicked()
{
    const std::string l_name = mp_ui->userNameEdit->text().trimmed().toUtf8().toStdString();
    if (l_name.empty())
    {
        mp_ui->statusEdit->setText(QStringLiteral("User name must not be empty."));
        return;
    }
    if (!gp_server->IsConnected())
    {
        mp_ui->statusEdit->setText(QStringLiteral("Must be online to add a user to your list."));
        return;
    }
    if (ItemPtr(d["user"]->HasItem(l_name)).IsConnected("in_user_list"))
    {
        mp_ui->statusEdit->setText(QStringLiteral("User already in list."));
        return;
    }
    mp_ui->statusEdit->setText(QStringLiteral("Adding user..."));
    SetWaiting(true);
    m_pendingName = l_name;
    gp_server->AddUser(l_name);
}

void AddUserDialog::OnAddUserResponse(std::string i_user, bool i_exists)
{
    if (m_pendingName.empty() || i_user != m_pendingName)
        return;
    SetWaiting(false);
    m_pendingName.clear();
    if (!i_exists)
    {
        mp_ui->statusEdit->setText(QStringLiteral("User name does not exist."));
        return;
    }
    ItemPtr(d["user"]->GetItem(i_user)).NewItem("in_user_list");
    mp_ui->statusEdit->setText(QStringLiteral("User added to list."));
}
