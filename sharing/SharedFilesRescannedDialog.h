#pragma once

#include <QDialog>

#include <memory>

class Ui_SharedFilesRescannedDialog;

// Shows the counts of a finished rescan, one line each. Frees itself when closed.
class SharedFilesRescannedDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SharedFilesRescannedDialog(QWidget* ip_parent = nullptr);
    ~SharedFilesRescannedDialog() override;

    void Append(QString i_text);

private:
    std::unique_ptr<Ui_SharedFilesRescannedDialog> mp_ui;
};
