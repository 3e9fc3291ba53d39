#include "UserListItemWidget.h"

#include "Data.h"

namespace
{
bool IsOnline(const QString& i_name)
{
    return ItemPtr(d["user"]->HasItem(i_name.toLatin1().toStdString())).IsConnected("is_online");
}
} // namespace

UserListItemWidget::UserListItemWidget(QTreeWidget* ip_tree) : QTreeWidgetItem(ip_tree, 0) {}

bool UserListItemWidget::operator<(const QTreeWidgetItem& i_other) const
{
    const QString l_name = text(0);
    const QString l_otherName = i_other.text(0);
    const bool l_online = IsOnline(l_name);
    if (l_online != IsOnline(l_otherName))
        return l_online;
    return QString::compare(l_name, l_otherName, Qt::CaseInsensitive) < 0;
}
