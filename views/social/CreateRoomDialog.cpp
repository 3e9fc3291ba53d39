#include "CreateRoomDialog.h"

#include "Server.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>

CreateRoomDialog* createRoomDialog = nullptr;

CreateRoomDialog::CreateRoomDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_nameEdit(new QLineEdit(this)),
      mp_privateBox(new QCheckBox(tr("Private room"), this))
{
    setWindowTitle(tr("Create Room"));
    auto* lp_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* lp_layout = new QFormLayout(this);
    lp_layout->addRow(tr("Room name"), mp_nameEdit);
    lp_layout->addRow(mp_privateBox);
    lp_layout->addRow(lp_buttons);
    connect(lp_buttons, &QDialogButtonBox::accepted, this, &CreateRoomDialog::accept);
    connect(lp_buttons, &QDialogButtonBox::rejected, this, &CreateRoomDialog::reject);
}

CreateRoomDialog::~CreateRoomDialog()
{
    if (createRoomDialog == this)
        createRoomDialog = nullptr;
}

void CreateRoomDialog::accept()
{
    const QString l_name = mp_nameEdit->text().trimmed();
    if (l_name.isEmpty())
        return;
    gp_server->EnterRoom(l_name.toStdString(), mp_privateBox->isChecked());
    mp_nameEdit->clear();
    QDialog::accept();
}
