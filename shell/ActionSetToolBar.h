#pragma once

#include "ItemPtr.h"

#include <QPointer>
#include <QString>
#include <QToolBar>

#include <cstdint>
#include <string>

class QPushButton;
class QTreeWidget;

// The main tool bar. Views define named sets of actions and register their widgets under a set;
// the bar shows the set of the registered widget that holds the keyboard focus (or encloses the
// widget that does), with that widget's own texts and hidden actions. A click stores the keys
// that the widget supplies, fixed ones and those read from the selected row of its list, where
// GetKey finds them, and emits ActionTriggered with the action's id. The privileges button
// stands at the right end. One instance, the global actionBar, set by the constructor.
class ActionSetToolBar : public QToolBar
{
    Q_OBJECT

public:
    explicit ActionSetToolBar(QWidget* ip_parent = nullptr);
    ~ActionSetToolBar() override;

    // Once the server exists: the privileges button follows the server's reports.
    void Init();

    // Defines one action of a set; actions show in the order of these calls, over all sets.
    void AddSetAction(std::string i_set, std::string i_id, std::string i_text, std::string i_icon,
                      bool i_needsListSelection);
    // Puts the widget under the set (moving it from any earlier one). Everything the bar keeps
    // about a widget goes when the widget is destroyed.
    void RegisterWidget(QWidget* ip_widget, QString i_set);
    // A fixed key that the widget supplies whenever it takes the focus.
    void AddWidgetKey(QWidget* ip_widget, QString i_key, QString i_value);
    // A key read from a column of the selected row of the widget's list when an action is clicked:
    // the column's Qt::UserRole data where the row keeps some, as its text may differ, else the
    // text.
    void AddWidgetColumnKey(QWidget* ip_widget, QString i_key, int i_column);
    // The key's latest value; empty when it never had one.
    QString GetKey(QString i_key);
    // For this widget only, the action with the id shows the text in place of its own.
    void SetWidgetActionText(QWidget* ip_widget, QString i_id, QString i_text);
    // For this widget only, hides (or, from the next showing of the set, shows again) the action.
    void SetWidgetActionHidden(QWidget* ip_widget, QString i_id, bool i_hidden);
    // Shows no set: the bar is empty until the privileges button is added again.
    void Clear();

    // Seconds of privileges as whole days, a half day and more counting as one.
    static long long PrivilegeDays(long long i_seconds);

signals:
    void ActionTriggered(std::string i_id);

public slots:
    void OnApplicationFocusChanged(QWidget* ip_old, QWidget* ip_now);
    void OnActionTriggered(bool i_checked);
    void OnWidgetDestroyed(QObject* ip_object);
    void OnReceivedOwnPrivilegesStatus(int i_seconds);
    void OnSupportBrindlexButtonClicked();

private:
    void ChangeSet(QWidget* ip_widget, ItemPtr i_set);
    void AddSupportBrindlexButton();
    void ClearAndDeleteActions();
    // The widget's item, made when missing; its destruction is then followed.
    ItemPtr TrackedWidgetItem(QWidget* ip_widget);
    // The QActions now on the bar for the action id.
    QList<QAction*> ShownActions(ItemPtr i_id);
    static QString PrivilegesText(long long i_seconds);

    std::string m_setName;
    // Compared only, never followed: cleared when the widget is destroyed.
    QWidget* mp_shownWidget = nullptr;
    // The list is not registered itself and may go while its page stays shown.
    QPointer<QTreeWidget> mp_selectionList;
    std::uint64_t m_orderCounter = 0;
    bool m_changingSet = false;
    QPointer<QPushButton> mp_privilegesButton;
};

extern ActionSetToolBar* actionBar;
