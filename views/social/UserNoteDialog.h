#pragma once

#include <QDialog>

#include <memory>
#include <string>

class Ui_UserNoteDialog;

// Writes, changes or deletes the note on a user. At most one per user: the user's
// user_note_dialog item ties the open dialog to the user, and GetDialog raises that one. A
// top-level window, deleted when closed.
class UserNoteDialog : public QDialog
{
    Q_OBJECT

public:
    // Once at start-up: declares user_note_dialog (not saved).
    static void Init();
    // The user's open dialog, raised, or a new one not yet shown.
    static UserNoteDialog* GetDialog(std::string i_user);

    UserNoteDialog(std::string i_user, QWidget* ip_parent = nullptr);
    ~UserNoteDialog() override;

public slots:
    void OnSaveNote();
    void OnClearNote();

private:
    std::string m_user;
    std::unique_ptr<Ui_UserNoteDialog> mp_ui;
};
