#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;

// Creates a room, public or private, by entering it. One at a time, the global createRoomDialog.
class CreateRoomDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CreateRoomDialog(QWidget* ip_parent = nullptr);
    ~CreateRoomDialog() override;

public slots:
    void accept() override;

private:
    QLineEdit* mp_nameEdit;
    QCheckBox* mp_privateBox;
};

extern CreateRoomDialog* createRoomDialog;
