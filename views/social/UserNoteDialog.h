#pragma once

#include <QDialog>

// The dialog that edits the note on a user. For now only its store type exists.
class UserNoteDialog : public QDialog
{
    Q_OBJECT

public:
    using QDialog::QDialog;

    // Declares `user_note_dialog`, the open dialog of a user (one per user, not saved).
    static void Init();
};
