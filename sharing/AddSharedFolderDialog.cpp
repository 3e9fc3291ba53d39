#include "AddSharedFolderDialog.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "ui_AddSharedFolderDialog.h"

#include <QFileDialog>

AddSharedFolderDialog::AddSharedFolderDialog(QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_AddSharedFolderDialog>())
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    for (Item* lp_group : d.GetType("user_list_group")->GetItems())
    {
        const std::string& l_name = lp_group->Value();
        auto* lp_row = new QListWidgetItem(ShownName(l_name), mp_ui->groupsListWidget);
        // The shown name may not give the bytes back.
        lp_row->setData(Qt::UserRole, FromLatin1(l_name));
        lp_row->setFlags(lp_row->flags() | Qt::ItemIsUserCheckable);
        lp_row->setCheckState(Qt::Unchecked);
    }

    connect(mp_ui->pushButton, &QPushButton::clicked, this,
            &AddSharedFolderDialog::OnSelectFolderClicked);
    connect(mp_ui->everyoneCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged);
    connect(mp_ui->userListCheckBox, &QCheckBox::stateChanged, this,
            &AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged);
}

AddSharedFolderDialog::~AddSharedFolderDialog() = default;

void AddSharedFolderDialog::OnSelectFolderClicked()
{
    QFileDialog l_chooser(this, QStringLiteral("Select Folder to Share"));
    l_chooser.setFileMode(QFileDialog::Directory);
    if (l_chooser.exec() != QDialog::Accepted || l_chooser.selectedFiles().isEmpty())
        return;
    mp_ui->selectedFolderEdit->setText(l_chooser.selectedFiles().first());
}

void AddSharedFolderDialog::OnAccessibleToEveryoneCheckStateChanged(int i_checkState)
{
    if (i_checkState == Qt::Checked)
    {
        mp_ui->userListCheckBox->setEnabled(false);
        mp_ui->userListCheckBox->setChecked(true);
        mp_ui->groupsListWidget->setEnabled(false);
    }
    else if (i_checkState == Qt::Unchecked)
    {
        mp_ui->userListCheckBox->setEnabled(true);
        mp_ui->groupsListWidget->setEnabled(!mp_ui->userListCheckBox->isChecked());
    }
}

void AddSharedFolderDialog::OnAccessibleToUserListCheckStateChanged(int i_checkState)
{
    if (i_checkState == Qt::Checked)
        mp_ui->groupsListWidget->setEnabled(false);
    else if (i_checkState == Qt::Unchecked)
        mp_ui->groupsListWidget->setEnabled(true);
}

void AddSharedFolderDialog::accept()
{
    const Value l_path(mp_ui->selectedFolderEdit->text());
    if (l_path.AsString().empty())
        return;
    ItemPtr l_folder = d.GetType("shared_folder")->NewItem(l_path);
    if (mp_ui->everyoneCheckBox->isChecked())
        l_folder.NewItem("shared_public");
    else if (mp_ui->userListCheckBox->isChecked())
        l_folder.NewItem("shared_userlist");
    else
        for (int l_row = 0; l_row < mp_ui->groupsListWidget->count(); ++l_row)
        {
            QListWidgetItem* lp_row = mp_ui->groupsListWidget->item(l_row);
            if (lp_row->checkState() == Qt::Checked)
                l_folder += d.GetType("user_list_group")
                                ->GetItem(ToLatin1(lp_row->data(Qt::UserRole).toString()));
        }
    QDialog::accept();
}
