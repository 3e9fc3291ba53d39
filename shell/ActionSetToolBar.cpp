#include "ActionSetToolBar.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "Server.h"
#include "StoreFunctions.h"
#include "UIFunctions.h"

#include <QApplication>
#include <QDesktopServices>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QUrl>

ActionSetToolBar* actionBar = nullptr;

namespace
{
const QString SupportText = QStringLiteral("Support Brindlex!");
// The network's privileges page; the user's name is the value of its last query item.
const QString PrivilegesPage = QStringLiteral("https://www.brindlex.net/privileges?user=");
constexpr long long SecondsPerDay = 86400;

// Widgets and actions are named by their address as objects.
ItemPtr WidgetItem(QObject* ip_widget)
{
    return TypeOf("toolbar_action_widget")->HasItem(Value(ip_widget));
}

// The one item of the type that stands for the pair (a widget's override or mark of an id).
ItemPtr PairItem(ItemPtr i_widget, ItemPtr i_id, const char* ip_type)
{
    if (!i_widget || !i_id)
        return ItemPtr();
    const ItemSet l_found = d.GetItems(i_widget, i_id, ip_type);
    return l_found.empty() ? ItemPtr() : ItemPtr(l_found.front());
}

QString Text(ItemPtr i_item)
{
    return FromUtf8(i_item.AsString());
}

// Makes the value the key's current one, replacing the earlier.
void SetActiveKey(const std::string& i_key, Value const& i_value)
{
    SetValue(TypeOf("active_action_key")->GetItem(i_key), "active_action_value", i_value);
}
} // namespace

ActionSetToolBar::ActionSetToolBar(QWidget* ip_parent) : QToolBar(ip_parent)
{
    actionBar = this;
    InitIconResources();
    connect(qApp, &QApplication::focusChanged, this, &ActionSetToolBar::OnApplicationFocusChanged);

    d.NewType("toolbar_action_set", true, false, true);
    d.NewType("toolbar_action", true, true, true);
    d.NewType("toolbar_action_id", true, false, true);
    d.NewType("toolbar_action_order", false, false, true);
    d.NewType("toolbar_action_widget", true, false, true);
    d.NewType("action_key_value_pair", true, true, true);
    d.NewType("action_key", false, false, true);
    d.NewType("action_value", false, false, true);
    d.NewType("action_key_column_pair", true, true, true);
    d.NewType("action_column", false, false, true);
    d.NewType("active_action_key", true, false, true);
    d.NewType("active_action_value", false, false, true);
    // One override per widget and id, holding its text as a label: a text shared by value
    // between two pairs would also be found for their crossed pairs.
    d.NewType("widget_action_text", false, true, true);
    d.NewType("widget_action_hidden", false, true, true);
    d.NewType("toolbar_action_object", false, false, true);
    d.NewType("toolbar_action_icon", false, false, true);
    d.NewType("toolbar_action_text", false, false, true);
    d.NewType("needs_list_selection", false, true, true);

    // RelateToType(B, what each B holds, what each A holds, owns).
    Type* lp_set = TypeOf("toolbar_action_set");
    Type* lp_action = TypeOf("toolbar_action");
    lp_set->RelateToType(lp_action, One, Many, false);
    lp_action->RelateToType("toolbar_action_id", Many, One, false);
    lp_action->RelateToType("toolbar_action_order", Many, One, false);
    lp_action->RelateToType("toolbar_action_icon", Many, One, false);
    lp_action->RelateToType("toolbar_action_text", Many, One, false);
    lp_action->RelateToType("needs_list_selection", Many, One, false);
    lp_set->RelateToType("toolbar_action_widget", One, Many, false);
    for (const char* lp_pair : {"action_key_value_pair", "action_key_column_pair"})
    {
        TypeOf(lp_pair)->RelateToType("toolbar_action_widget", Many, One, false);
        TypeOf(lp_pair)->RelateToType("action_key", Many, One, false);
    }
    TypeOf("action_key_value_pair")->RelateToType("action_value", Many, One, false);
    TypeOf("action_key_column_pair")->RelateToType("action_column", Many, One, false);
    TypeOf("active_action_key")->RelateToType("active_action_value", Many, One, false);
    for (const char* lp_override : {"widget_action_text", "widget_action_hidden"})
    {
        TypeOf(lp_override)->RelateToType("toolbar_action_widget", Many, One, false);
        TypeOf(lp_override)->RelateToType("toolbar_action_id", Many, One, false);
    }
    TypeOf("widget_action_text")->RelateToType("toolbar_action_text", Many, One, false);
    lp_action->RelateToType("toolbar_action_object", One, One, false);

    AddSupportBrindlexButton();
}

ActionSetToolBar::~ActionSetToolBar()
{
    if (actionBar == this)
        actionBar = nullptr;
}

void ActionSetToolBar::Init()
{
    connect(gp_server, &Server::ReceivedOwnPrivilegesStatus, this,
            &ActionSetToolBar::OnReceivedOwnPrivilegesStatus);
}

void ActionSetToolBar::AddSetAction(std::string i_set, std::string i_id, std::string i_text,
                                    std::string i_icon, bool i_needsListSelection)
{
    ItemPtr l_action =
        ItemPtr(TypeOf("toolbar_action_set")->GetItem(i_set)).NewItem("toolbar_action");
    SetValue(l_action, "toolbar_action_id", i_id);
    SetValue(l_action, "toolbar_action_icon", i_icon);
    SetValue(l_action, "toolbar_action_text", i_text);
    SetValue(l_action, "toolbar_action_order", static_cast<unsigned long long>(m_orderCounter++));
    if (i_needsListSelection)
        l_action.NewItem("needs_list_selection");
}

void ActionSetToolBar::RegisterWidget(QWidget* ip_widget, QString i_set)
{
    ItemPtr(TypeOf("toolbar_action_set")->GetItem(i_set)) += TrackedWidgetItem(ip_widget);
}

void ActionSetToolBar::AddWidgetKey(QWidget* ip_widget, QString i_key, QString i_value)
{
    ItemPtr l_pair = TypeOf("action_key_value_pair")->NewItem();
    l_pair += TrackedWidgetItem(ip_widget);
    SetValue(l_pair, "action_key", i_key);
    SetValue(l_pair, "action_value", i_value);
}

void ActionSetToolBar::AddWidgetColumnKey(QWidget* ip_widget, QString i_key, int i_column)
{
    ItemPtr l_pair = TypeOf("action_key_column_pair")->NewItem();
    l_pair += TrackedWidgetItem(ip_widget);
    SetValue(l_pair, "action_key", i_key);
    SetValue(l_pair, "action_column", i_column);
}

QString ActionSetToolBar::GetKey(QString i_key)
{
    return Text(ItemPtr(TypeOf("active_action_key")->GetItem(i_key))["active_action_value"]);
}

void ActionSetToolBar::SetWidgetActionText(QWidget* ip_widget, QString i_id, QString i_text)
{
    ItemPtr l_widget = TrackedWidgetItem(ip_widget);
    ItemPtr l_id = TypeOf("toolbar_action_id")->GetItem(i_id);
    ItemPtr l_override = PairItem(l_widget, l_id, "widget_action_text");
    if (!l_override)
    {
        l_override = TypeOf("widget_action_text")->NewItem();
        l_override += l_widget;
        l_override += l_id;
    }
    SetValue(l_override, "toolbar_action_text", i_text);
    if (ip_widget == mp_shownWidget)
        for (QAction* lp_action : ShownActions(l_id))
            lp_action->setText(EscapeAmpersands(i_text));
}

void ActionSetToolBar::SetWidgetActionHidden(QWidget* ip_widget, QString i_id, bool i_hidden)
{
    ItemPtr l_widget = TrackedWidgetItem(ip_widget);
    ItemPtr l_id = TypeOf("toolbar_action_id")->GetItem(i_id);
    ItemPtr l_mark = PairItem(l_widget, l_id, "widget_action_hidden");
    if (!i_hidden)
    {
        if (l_mark)
            l_mark.Remove();
        return;
    }
    if (l_mark)
        return;
    l_mark = TypeOf("widget_action_hidden")->NewItem();
    l_mark += l_widget;
    l_mark += l_id;
    if (ip_widget == mp_shownWidget)
        for (QAction* lp_action : ShownActions(l_id))
            lp_action->setVisible(false);
}

void ActionSetToolBar::Clear()
{
    m_setName.clear();
    ClearAndDeleteActions();
}

long long ActionSetToolBar::PrivilegeDays(long long i_seconds)
{
    // Split first: adding the half day to the seconds could overflow.
    return i_seconds / SecondsPerDay + (i_seconds % SecondsPerDay >= SecondsPerDay / 2 ? 1 : 0);
}

QString ActionSetToolBar::PrivilegesText(long long i_seconds)
{
    if (i_seconds < 1)
        return SupportText;
    return QStringLiteral("%1 Days Left").arg(PrivilegeDays(i_seconds));
}

void ActionSetToolBar::OnApplicationFocusChanged(QWidget*, QWidget* ip_now)
{
    if (g_showIsOver || m_changingSet || !ip_now)
        return;
    QScopedValueRollback<bool> l_changing(m_changingSet, true);

    // A tab widget or its bar stands for its current page.
    QWidget* lp_focus = ip_now;
    for (;;)
    {
        QTabWidget* lp_tabs = qobject_cast<QTabWidget*>(lp_focus);
        if (!lp_tabs)
            if (auto* lp_bar = qobject_cast<QTabBar*>(lp_focus))
                lp_tabs = qobject_cast<QTabWidget*>(lp_bar->parentWidget());
        if (!lp_tabs || !lp_tabs->currentWidget())
            break;
        lp_focus = lp_tabs->currentWidget();
    }

    mp_selectionList = nullptr;
    for (QWidget* lp_widget = lp_focus; lp_widget; lp_widget = lp_widget->parentWidget())
    {
        ItemPtr l_widget = WidgetItem(lp_widget);
        if (!mp_selectionList)
            mp_selectionList = qobject_cast<QTreeWidget*>(lp_widget);
        ItemPtr l_set = l_widget["toolbar_action_set"];
        if (!l_set)
            continue;
        ChangeSet(lp_widget, l_set);
        for (Item* lp_pair : l_widget.GetItems("action_key_value_pair"))
            SetActiveKey(ItemPtr(lp_pair)["action_key"].AsString(),
                         ItemPtr(lp_pair)["action_value"].AsString());
        return;
    }
    Clear();
    AddSupportBrindlexButton();
}

void ActionSetToolBar::OnActionTriggered(bool)
{
    if (g_showIsOver)
        return;
    ItemPtr l_action = TypeOf("toolbar_action_object")->HasItem(Value(sender()))["toolbar_action"];
    if (!l_action)
        return;
    if (mp_selectionList)
    {
        const QList<QTreeWidgetItem*> l_selected = mp_selectionList->selectedItems();
        if (l_selected.isEmpty())
        {
            if (l_action.IsConnected("needs_list_selection"))
                return;
        }
        else
        {
            for (Item* lp_pair : WidgetItem(mp_shownWidget).GetItems("action_key_column_pair"))
            {
                const int l_column = ItemPtr(lp_pair)["action_column"].AsInt();
                const QVariant l_kept = l_selected.first()->data(l_column, Qt::UserRole);
                SetActiveKey(ItemPtr(lp_pair)["action_key"].AsString(),
                             l_kept.isValid() ? l_kept.toString()
                                              : l_selected.first()->text(l_column));
            }
        }
    }
    emit ActionTriggered(l_action["toolbar_action_id"].AsString());
}

void ActionSetToolBar::OnWidgetDestroyed(QObject* ip_object)
{
    if (g_showIsOver)
        return;
    // A widget made later at the same address must not find this one's registration.
    if (ItemPtr l_widget = WidgetItem(ip_object))
    {
        for (const char* lp_type : {"action_key_value_pair", "action_key_column_pair",
                                    "widget_action_text", "widget_action_hidden"})
            l_widget.GetItems(lp_type).Remove();
        l_widget.Remove();
    }
    if (ip_object == mp_shownWidget)
    {
        mp_shownWidget = nullptr;
        Clear();
        AddSupportBrindlexButton();
    }
}

void ActionSetToolBar::OnReceivedOwnPrivilegesStatus(int i_seconds)
{
    if (mp_privilegesButton)
        mp_privilegesButton->setText(PrivilegesText(i_seconds));
}

void ActionSetToolBar::OnSupportBrindlexButtonClicked()
{
    if (g_showIsOver)
        return;
    const QString l_user = d.HasType("global") ? Text(SettingValue("username")) : QString();
    // Encoded, so that a name cannot add query items or end the address.
    QDesktopServices::openUrl(
        QUrl(PrivilegesPage + QString::fromLatin1(QUrl::toPercentEncoding(l_user))));
}

void ActionSetToolBar::ChangeSet(QWidget* ip_widget, ItemPtr i_set)
{
    if (i_set.AsString() == m_setName && ip_widget == mp_shownWidget)
        return;
    m_setName = i_set.AsString();
    mp_shownWidget = ip_widget;
    ClearAndDeleteActions();

    ItemPtr l_widget = WidgetItem(ip_widget);
    for (Item* lp_item :
         i_set.GetItems("toolbar_action").SortNumericBy("toolbar_action_order", true))
    {
        ItemPtr l_action(lp_item);
        ItemPtr l_id = l_action["toolbar_action_id"];
        ItemPtr l_override = PairItem(l_widget, l_id, "widget_action_text");
        const QString l_text = Text((l_override ? l_override : l_action)["toolbar_action_text"]);
        QAction* lp_shown =
            addAction(QIcon(Text(l_action["toolbar_action_icon"])), EscapeAmpersands(l_text));
        if (PairItem(l_widget, l_id, "widget_action_hidden"))
            lp_shown->setVisible(false);
        connect(lp_shown, &QAction::triggered, this, &ActionSetToolBar::OnActionTriggered);
        l_action +=
            TypeOf("toolbar_action_object")->GetItem(Value(static_cast<QObject*>(lp_shown)));
    }
    AddSupportBrindlexButton();
}

void ActionSetToolBar::AddSupportBrindlexButton()
{
    addAction(QString());
    auto* lp_spacer = new QWidget(this);
    lp_spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    addWidget(lp_spacer);

    auto* lp_button = new QPushButton(SupportText, this);
    if (d.HasType("global"))
        if (ItemPtr l_seconds = SettingValue("privileges_time_left"))
            lp_button->setText(PrivilegesText(l_seconds.AsInt64()));
    lp_button->setFocusPolicy(Qt::NoFocus);
    connect(lp_button, &QPushButton::clicked, this,
            &ActionSetToolBar::OnSupportBrindlexButtonClicked);
    addWidget(lp_button);
    mp_privilegesButton = lp_button;
}

void ActionSetToolBar::ClearAndDeleteActions()
{
    for (QAction* lp_action : actions())
    {
        removeAction(lp_action);
        lp_action->deleteLater();
    }
    mp_privilegesButton = nullptr;
    TypeOf("toolbar_action_object")->GetItems().Remove();
}

ItemPtr ActionSetToolBar::TrackedWidgetItem(QWidget* ip_widget)
{
    connect(ip_widget, &QObject::destroyed, this, &ActionSetToolBar::OnWidgetDestroyed,
            Qt::UniqueConnection);
    return TypeOf("toolbar_action_widget")->GetItem(Value(static_cast<QObject*>(ip_widget)));
}

QList<QAction*> ActionSetToolBar::ShownActions(ItemPtr i_id)
{
    QList<QAction*> l_shown;
    for (Item* lp_object : TypeOf("toolbar_action_object")->GetItems())
        if (ItemPtr(lp_object)["toolbar_action"]["toolbar_action_id"] == i_id)
            l_shown.append(qobject_cast<QAction*>(lp_object->AsPtr<QObject>()));
    return l_shown;
}
