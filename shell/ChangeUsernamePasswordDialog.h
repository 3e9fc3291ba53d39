#pragma once

#include <QDialog>

#include <memory>

class Ui_ChangeUsernamePasswordDialog;

// Sets the name and password with which the client logs in. The first-run form is run modally
// by its owner, which destroys it; the normal form is shown without blocking and frees itself
// when closed.
class ChangeUsernamePasswordDialog : public QDialog
{
    Q_OBJECT

public:
    ChangeUsernamePasswordDialog(bool i_firstRun, QWidget* ip_parent = nullptr);
    ~ChangeUsernamePasswordDialog() override;

public slots:
    // Stores both trimmed texts; with either empty the dialog stays open.
    void accept() override;

private:
    std::unique_ptr<Ui_ChangeUsernamePasswordDialog> mp_ui;
    bool m_firstRun;
};
