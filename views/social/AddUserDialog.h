#pragma once

#include <QDialog>

#include <memory>
#include <string>

class Ui_AddUserDialog;

// Puts a user on the own user list once the server has said that the name exists. Waits for the
// answer to its own name only: the server's answers to every other watch request reach it too.
// Deleted when closed.
class AddUserDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddUserDialog(QWidget* ip_parent = nullptr);
    ~AddUserDialog() override;

public slots:
    void OnAddUserClicked();
    void OnAddUserResponse(std::string i_user, bool i_exists);

private:
    void SetWaiting(bool i_waiting);

    std::unique_ptr<Ui_AddUserDialog> mp_ui;
    // Empty while no request waits.
    std::string m_pendingName;
};
