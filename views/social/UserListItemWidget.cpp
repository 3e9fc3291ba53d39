#include "UserListItemWidget.h"

#include <QIcon>

UserListItemWidget::UserListItemWidget(QTreeWidget* ip_tree) : QTreeWidgetItem(ip_tree, 0) {}

void UserListItemWidget::SetName(const QString& i_name)
{
    m_name = i_name;
    setText(0, i_name);
}

void UserListItemWidget::ShowOnline()
{
    // Made once: thousands of rows change icon at every login.
    static const QIcon onlineIcon(QStringLiteral(":/icons/online_dot_icon"));
    static const QIcon offlineIcon(QStringLiteral(":/icons/offline_dot_icon"));
    setIcon(0, m_online ? onlineIcon : offlineIcon);
}

bool UserListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const auto& l_other = static_cast<const UserListItemWidget&>(i_other);
    if (m_online != l_other.m_online)
        return m_online;
    return QString::compare(m_name, l_other.m_name, Qt::CaseInsensitive) < 0;
}
