#include "UserNoteDialog.h"

#include "Data.h"

void UserNoteDialog::Init()
{
    d.NewType("user_note_dialog", true, false, true);
    d["user"]->RelateToType("user_note_dialog", One, One, false);
}
