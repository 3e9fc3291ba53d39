#pragma once

#include <QDialog>

#include <memory>

class Ui_AddSharedFolderDialog;

// Picks a folder to share and who may see it: everybody, every user of the user list, or the
// members of chosen user-list groups. Accepting creates the folder's shared_folder item (which
// the index scans when it is new) and attaches the choice. Shown without blocking; frees itself
// when closed. The groups are read once, when it is built.
class AddSharedFolderDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddSharedFolderDialog(QWidget* ip_parent = nullptr);
    ~AddSharedFolderDialog() override;

public slots:
    void OnSelectFolderClicked();
    void OnAccessibleToEveryoneCheckStateChanged(int i_checkState);
    void OnAccessibleToUserListCheckStateChanged(int i_checkState);
    // Without a folder the dialog stays open.
    void accept() override;

private:
    std::unique_ptr<Ui_AddSharedFolderDialog> mp_ui;
};
