#include "UserNoteDialog.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "UIFunctions.h"
#include "ui_UserNoteDialog.h"

void UserNoteDialog::Init()
{
    d.NewType("user_note_dialog", true, false, true);
    d["user_note_dialog"]->RelateToType("user", One, One, false);
}

UserNoteDialog* UserNoteDialog::GetDialog(std::string i_user)
{
    ItemPtr l_user = d["user"]->GetItem(i_user);
    if (ItemPtr l_tie = l_user["user_note_dialog"])
    {
        auto* lp_dialog = l_tie.AsPtr<UserNoteDialog>();
        lp_dialog->activateWindow();
        return lp_dialog;
    }
    auto* lp_dialog = new UserNoteDialog(std::move(i_user));
    l_user += d["user_note_dialog"]->GetItem(lp_dialog);
    return lp_dialog;
}

UserNoteDialog::UserNoteDialog(std::string i_user, QWidget* ip_parent)
    : QDialog(ip_parent), m_user(std::move(i_user)), mp_ui(std::make_unique<Ui_UserNoteDialog>())
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    // As plain text: a note that looks like markup comes back as typed.
    if (ItemPtr l_note = ItemPtr(d["user"]->GetItem(m_user))["user_note"])
        mp_ui->noteEdit->setPlainText(FromUtf8(l_note.AsString()));
    setWindowIcon(QIcon(QStringLiteral(":/icons/note_icon")));
    setWindowTitle(EscapeTitlePlaceholders(ShownName(m_user)));
    connect(mp_ui->saveButton, &QPushButton::clicked, this, &UserNoteDialog::OnSaveNote);
    connect(mp_ui->clearButton, &QPushButton::clicked, this, &UserNoteDialog::OnClearNote);
}

UserNoteDialog::~UserNoteDialog()
{
    // The tie goes with the window: no later dialog at the same address finds it.
    d["user_note_dialog"]->HasItem(this).Remove();
}

void UserNoteDialog::OnSaveNote()
{
    const QByteArray l_text = mp_ui->noteEdit->toPlainText().trimmed().toUtf8();
    ItemPtr l_user = d["user"]->GetItem(m_user);
    if (l_text.isEmpty())
        l_user.Disconnect("user_note");
    else
        l_user += d["user_note"]->GetItem(l_text.toStdString());
    accept();
}

void UserNoteDialog::OnClearNote()
{
    mp_ui->noteEdit->clear();
}
