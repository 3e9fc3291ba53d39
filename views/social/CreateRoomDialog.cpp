#include "CreateRoomDialog.h"

#include "Server.h"
#include "ui_CreateRoomDialog.h"

CreateRoomDialog* createRoomDialog = nullptr;

CreateRoomDialog::CreateRoomDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_CreateRoomDialog>())
{
    mp_ui->setupUi(this);
    connect(mp_ui->createRoomButton, &QPushButton::clicked, this,
            &CreateRoomDialog::OnButtonClicked);
    createRoomDialog = this;
}

CreateRoomDialog::~CreateRoomDialog()
{
    if (createRoomDialog == this)
        createRoomDialog = nullptr;
}

void CreateRoomDialog::OnButtonClicked()
{
    const QString l_name = mp_ui->roomNameEdit->text().trimmed();
    if (l_name.isEmpty())
        return;
    // The server connection would drop the request: keep what was typed for a later try.
    if (!gp_server->IsConnected())
    {
        mp_ui->statusLabel->setText(tr("Not sent: the client is not connected."));
        mp_ui->statusLabel->setVisible(true);
        return;
    }
    gp_server->EnterRoom(l_name.toUtf8().toStdString(), mp_ui->createPrivateCheckBox->isChecked());
    // The next create_room makes a fresh dialog, even before this one is gone.
    createRoomDialog = nullptr;
    close();
    deleteLater();
}
