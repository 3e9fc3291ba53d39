#include "Data.h"
#include "FilterHelpDialog.h"
#include "UserGroupsDialog.h"
#include "UserNoteDialog.h"
#include "ViewHarness.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{
template <typename T> T* Child(QWidget* ip_dialog, const char* ip_name)
{
    return ip_dialog->findChild<T*>(QString::fromLatin1(ip_name));
}

QString Note(const char* ip_user)
{
    ItemPtr l_note = ItemPtr(d["user"]->GetItem(ip_user))["user_note"];
    return l_note ? QString::fromStdString(l_note.AsString()) : u"(none)"_s;
}

void SaveNote(const char* ip_user, const QString& i_text)
{
    UserNoteDialog* lp_dialog = UserNoteDialog::GetDialog(ip_user);
    Child<QTextEdit>(lp_dialog, "noteEdit")->setPlainText(i_text);
    Child<QPushButton>(lp_dialog, "saveButton")->click();
    ViewHarness::Flush();
}

// Rows as "name:checked" in the order shown.
QStringList Rows(UserGroupsDialog* ip_dialog)
{
    auto* lp_list = Child<QListWidget>(ip_dialog, "groupListWidget");
    QStringList l_rows;
    for (int l_index = 0; l_index < lp_list->count(); ++l_index)
        l_rows.append(lp_list->item(l_index)->text() +
                      (lp_list->item(l_index)->checkState() == Qt::Checked ? u":1"_s : u":0"_s));
    return l_rows;
}

QStringList Groups(const char* ip_user)
{
    QStringList l_groups;
    for (Item* lp_group :
         ItemPtr(d["user"]->GetItem(ip_user))["in_user_list"].GetItems("user_list_group"))
        l_groups.append(QString::fromStdString(ItemPtr(lp_group).AsString()));
    l_groups.sort();
    return l_groups;
}

void CreateGroup(UserGroupsDialog* ip_dialog, const QString& i_name)
{
    Child<QLineEdit>(ip_dialog, "newGroupEdit")->setText(i_name);
    Child<QPushButton>(ip_dialog, "newGroupButton")->click();
}
} // namespace

class TestViewDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        mp_harness = std::make_unique<ViewHarness>();
        UserNoteDialog::Init();
    }
    void cleanupTestCase() { mp_harness.reset(); }
    void init() { mp_harness->Reset(); }

    // What is saved is the text as typed, without blanks around it; markup stays text both
    // ways; an empty text deletes the note.
    void noteRoundTrip_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("stored");
        QTest::newRow("markup") << u"<b>x</b>"_s << u"<b>x</b>"_s;
        QTest::newRow("inner newlines")
            << u"line one\n\n  line two"_s << u"line one\n\n  line two"_s;
        QTest::newRow("blanks around") << u" \n\t met at a party \n\n"_s << u"met at a party"_s;
        QTest::newRow("non-ASCII") << u"caf\u00e9 \u263a"_s << u"caf\u00e9 \u263a"_s;
        QTest::newRow("blank") << u" \n "_s << u"(none)"_s;
    }

    void noteRoundTrip()
    {
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        SaveNote("bob", u"old note"_s);
        SaveNote("bob", typed);
        QCOMPARE(QString::fromUtf8(QByteArray::fromStdString(
                     ItemPtr(d["user"]->GetItem("bob"))["user_note"].AsString())),
                 stored == u"(none)"_s ? QString() : stored);
        QCOMPARE(ItemPtr(d["user"]->GetItem("bob")).IsConnected("user_note"),
                 stored != u"(none)"_s);
        UserNoteDialog* lp_dialog = UserNoteDialog::GetDialog("bob");
        QCOMPARE(Child<QTextEdit>(lp_dialog, "noteEdit")->toPlainText(),
                 stored == u"(none)"_s ? QString() : stored);
    }

    // One window per user, kept with its unsaved edits; closing it takes its tie along, so the
    // next request makes a new window.
    void oneNoteWindowPerUser()
    {
        SaveNote("bob", u"first"_s);
        QPointer<UserNoteDialog> l_dialog = UserNoteDialog::GetDialog("bob");
        QCOMPARE(l_dialog->windowTitle(), u"bob"_s);
        Child<QTextEdit>(l_dialog, "noteEdit")->setPlainText(u"unsaved"_s);
        QCOMPARE(UserNoteDialog::GetDialog("bob"), l_dialog.data());
        QCOMPARE(Child<QTextEdit>(l_dialog, "noteEdit")->toPlainText(), u"unsaved"_s);
        QVERIFY(ViewHarness::Snapshot(l_dialog, u"usernote"_s).size() > 0);
        // A direction control in a name shows as its mark, not turning the title around.
        UserNoteDialog* lp_other = UserNoteDialog::GetDialog("x\xe2\x80\xaepm");
        QVERIFY(lp_other != l_dialog.data());
        QCOMPARE(lp_other->windowTitle(), u"x<U+202E>pm"_s);
        QCOMPARE(d["user_note_dialog"]->ItemCount(), std::size_t(2));

        l_dialog->close();
        ViewHarness::Flush();
        QVERIFY(l_dialog.isNull());
        QCOMPARE(d["user_note_dialog"]->ItemCount(), std::size_t(1));
        QVERIFY(!ItemPtr(d["user"]->GetItem("bob")).IsConnected("user_note_dialog"));
        QCOMPARE(Note("bob"), u"first"_s);
        UserNoteDialog* lp_fresh = UserNoteDialog::GetDialog("bob");
        QCOMPARE(Child<QTextEdit>(lp_fresh, "noteEdit")->toPlainText(), u"first"_s);
    }

    void clearNeedsSave()
    {
        SaveNote("bob", u"kept"_s);
        UserNoteDialog* lp_dialog = UserNoteDialog::GetDialog("bob");
        Child<QPushButton>(lp_dialog, "clearButton")->click();
        lp_dialog->close();
        ViewHarness::Flush();
        QCOMPARE(Note("bob"), u"kept"_s);
        lp_dialog = UserNoteDialog::GetDialog("bob");
        Child<QPushButton>(lp_dialog, "clearButton")->click();
        Child<QPushButton>(lp_dialog, "saveButton")->click();
        QCOMPARE(Note("bob"), u"(none)"_s);
    }

    // Users with the same note share its item; a new text for one leaves the other's alone.
    void sharedNoteText()
    {
        SaveNote("bob", u"same"_s);
        SaveNote("carol", u"same"_s);
        QCOMPARE(d["user_note"]->ItemCount(), std::size_t(1));
        SaveNote("bob", u"other"_s);
        QCOMPARE(Note("carol"), u"same"_s);
        QCOMPARE(Note("bob"), u"other"_s);
    }

    // One row per group in ascending order, checked where the user's list entry is in it, its
    // text its tool tip; a check reaches the group whose row it is, also where the shown name
    // does not give its bytes back. The title names the user as every view does.
    void groupRows()
    {
        ItemPtr l_entry = ItemPtr(d["user"]->GetItem("bob")).NewItem("in_user_list");
        for (const char* lp_group : {"rock", "Jazz", "blues", "caf\xe9"})
            d["user_list_group"]->GetItem(lp_group);
        l_entry += d["user_list_group"]->GetItem("rock");
        auto* lp_dialog = new UserGroupsDialog("bob");
        QCOMPARE(lp_dialog->windowTitle(), u"User Groups for [bob]"_s);
        QCOMPARE(UserGroupsDialog("x\xe2\x80\xaeZo\xc3\xab").windowTitle(),
                 u"User Groups for [x<U+202E>Zo\u00eb]"_s);
        QCOMPARE(Rows(lp_dialog),
                 QStringList({u"Jazz:0"_s, u"blues:0"_s, u"caf\ufffd:0"_s, u"rock:1"_s}));
        QCOMPARE(Groups("bob"), QStringList{u"rock"_s});

        auto* lp_list = Child<QListWidget>(lp_dialog, "groupListWidget");
        QCOMPARE(ViewHarness::ToolTipMismatches(lp_list), QStringList());
        lp_list->item(0)->setCheckState(Qt::Checked);
        lp_list->item(3)->setCheckState(Qt::Unchecked);
        QCOMPARE(Groups("bob"), QStringList{u"Jazz"_s});
        lp_list->item(2)->setCheckState(Qt::Checked);
        QVERIFY(l_entry.IsConnected(d["user_list_group"]->HasItem("caf\xe9")));
        QVERIFY(ViewHarness::Snapshot(lp_dialog, u"usergroups"_s).size() > 0);
    }

    // A new group appears unchecked in every open dialog; names are trimmed and taken as UTF-8;
    // blanks and an existing name add nothing.
    void newGroups()
    {
        ItemPtr(d["user"]->GetItem("bob")).NewItem("in_user_list");
        auto* lp_bob = new UserGroupsDialog("bob");
        auto* lp_carol = new UserGroupsDialog("carol");
        CreateGroup(lp_bob, u"  friends  "_s);
        QCOMPARE(Child<QLineEdit>(lp_bob, "newGroupEdit")->text(), QString());
        CreateGroup(lp_carol, u"friends"_s);
        CreateGroup(lp_carol, u"   "_s);
        CreateGroup(lp_carol, u"Zo\u00eb"_s);
        QCOMPARE(Rows(lp_bob), (QStringList{u"Zo\u00eb:0"_s, u"friends:0"_s}));
        QCOMPARE(Rows(lp_carol), (QStringList{u"Zo\u00eb:0"_s, u"friends:0"_s}));
        QVERIFY(d["user_list_group"]->HasItem("Zo\xc3\xab"));
        QCOMPARE(d["user_list_group"]->ItemCount(), std::size_t(2));
        QVERIFY(Groups("bob").isEmpty());
    }

    // Closing deletes the dialog, and its handler no longer runs on new groups.
    void groupsDialogDeletedWhenClosed()
    {
        QPointer<UserGroupsDialog> l_dialog = new UserGroupsDialog("bob");
        l_dialog->show();
        l_dialog->close();
        ViewHarness::Flush();
        QVERIFY(l_dialog.isNull());
        d["user_list_group"]->GetItem("after");
        QCOMPARE(d["user_list_group"]->ItemCount(), std::size_t(1));
    }

    void filterHelpText()
    {
        QWidget l_tab;
        auto* lp_dialog = new FilterHelpDialog(&l_tab);
        QCOMPARE(filterHelpDialog, lp_dialog);
        auto* lp_text = Child<QTextEdit>(lp_dialog, "textEdit");
        QVERIFY(lp_text->isReadOnly());
        QCOMPARE(lp_text->focusPolicy(), Qt::NoFocus);
        QVERIFY(lp_text->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
        QVERIFY(lp_text->textInteractionFlags().testFlag(Qt::TextSelectableByKeyboard));
        const QStringList l_lines = lp_text->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(l_lines.size(), 28);
        QCOMPARE(l_lines[6], u"Prefix a word with a dash to make sure files shown don't contain "
                             u"the word:"_s);
        QCOMPARE(l_lines[10], u"Will show the same files as the first example, except for files "
                              u"that have \"bothersome\" in their name or in their folder name."_s);
        QCOMPARE(l_lines[14], u"minbitrate:number (show audio files with a minimum bitrate of "
                              u"number.)"_s);
        QCOMPARE(l_lines[18], u"iscbr (show constant bitrate audio files)"_s);
        QCOMPARE(l_lines[20], u"(Acceptable shorthands: mbr instead of minbitrate, mfs instead of "
                              u"minfilesize, mfif instead of minfilesinfolder)"_s);
        QCOMPARE(l_lines[24], u"lackluster container iscbr minbitrate:320 minfilesize:10 "
                              u"minfilesinfolder:8"_s);
        QVERIFY(l_lines[27].isEmpty());

        QStringList l_bold;
        QStringList l_italic;
        for (QTextBlock l_block = lp_text->document()->begin(); l_block.isValid();
             l_block = l_block.next())
            for (auto l_part = l_block.begin(); !l_part.atEnd(); ++l_part)
            {
                const QTextCharFormat l_format = l_part.fragment().charFormat();
                if (l_format.fontWeight() == 600)
                    l_bold.append(l_part.fragment().text());
                if (l_format.fontItalic())
                    l_italic.append(l_part.fragment().text());
            }
        QCOMPARE(l_bold, QStringList({u"don't"_s, u"minbitrate:"_s, u"minfilesize:"_s,
                                      u"minfilesinfolder:"_s, u"isvbr"_s, u"iscbr"_s, u"mbr"_s,
                                      u"minbitrate"_s, u"mfs"_s, u"minfilesize"_s, u"mfif"_s,
                                      u"minfilesinfolder"_s}));
        QCOMPARE(l_italic.size(), 6);
        QVERIFY(ViewHarness::Snapshot(lp_dialog, u"filterhelp"_s).size() > 0);

        Child<QPushButton>(lp_dialog, "pushButton")->click();
        ViewHarness::Flush();
        QCOMPARE(filterHelpDialog, nullptr);
    }

private:
    std::unique_ptr<ViewHarness> mp_harness;
};

VIEW_TEST_MAIN(TestViewDialogs)
#include "tst_viewdialogs.moc"
