#pragma once

#include <QDialog>

#include <memory>

class Ui_ChangeListeningPortDialog;

// Takes a new listening port, which the peer service uses from the next start. Shown without
// blocking; frees itself when closed.
class ChangeListeningPortDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ChangeListeningPortDialog(QWidget* ip_parent = nullptr);
    ~ChangeListeningPortDialog() override;

public slots:
    // Stores a valid port that differs from the one in use; otherwise says why and stays open.
    void accept() override;

private:
    std::unique_ptr<Ui_ChangeListeningPortDialog> mp_ui;
};
