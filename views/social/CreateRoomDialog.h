#pragma once

#include <QDialog>

#include <memory>

class Ui_CreateRoomDialog;

// Asks for a room's name and whether it is private, and enters it: the server makes a room that
// does not exist yet. One at a time, the global createRoomDialog; closing it only hides it.
class CreateRoomDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CreateRoomDialog(QWidget* ip_parent = nullptr);
    ~CreateRoomDialog() override;

public slots:
    void OnButtonClicked();

private:
    std::unique_ptr<Ui_CreateRoomDialog> mp_ui;
};

extern CreateRoomDialog* createRoomDialog;
