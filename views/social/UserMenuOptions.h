#pragma once

#include <QObject>

#include <functional>
#include <string>

class QMenu;

// The context menu of one user, shared by every view that lists users: adds the user's entries
// to a menu the view owns, worded after the user's state in the store when it is built, and
// carries out the picked entry. The view keeps the object for as long as it runs the menu.
class UserMenuOptions : public QObject
{
    Q_OBJECT

public:
    UserMenuOptions(QMenu* ip_menu, std::string i_user, QObject* ip_parent = nullptr);
    ~UserMenuOptions() override;

    // What "Browse user's files" calls with the user's name: the Browse page's opener, set by
    // the main window once that page exists.
    static void SetBrowseHandler(std::function<void(const std::string&)> i_handler);

public slots:
    void OnMessageUser();
    void OnSetUserGroups();
    void OnAddUser();
    void OnRemoveUser();
    void OnBrowseUser();
    // Opens the user's item log; no entry of the menu leads here.
    void OnUserLog();
    void OnUnshareFilesFromUser();
    void OnReshareFilesWithUser();
    void OnIgnoreUser();
    void OnUnignoreUser();
    void OnAddUserMembership();
    void OnRemoveUserMembership();
    void OnAddUserOperatorship();
    void OnRemoveUserOperatorship();
    void OnUserNote();

private:
    void AddEntry(QMenu* ip_menu, const QString& i_text, const char* ip_icon,
                  void (UserMenuOptions::*ip_slot)(), const std::string& i_value);
    void AddPrivateRooms(QMenu* ip_menu);
    // The name the triggering entry carries, byte for byte.
    std::string SenderValue() const;

    std::string m_user;
};
