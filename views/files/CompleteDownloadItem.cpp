#include "CompleteDownloadItem.h"

CompleteDownloadItem::CompleteDownloadItem(QTreeWidget* ip_list, const QDateTime& i_completionTime)
    : QTreeWidgetItem(ip_list), m_completionTime(i_completionTime)
{
}

bool CompleteDownloadItem::operator<(const QTreeWidgetItem& i_other) const
{
    const auto* lp_other = dynamic_cast<const CompleteDownloadItem*>(&i_other);
    if (!lp_other)
        return QTreeWidgetItem::operator<(i_other);
    const QDateTime& l_other = lp_other->m_completionTime;
    if (!m_completionTime.isValid() || !l_other.isValid())
        return !m_completionTime.isValid() && l_other.isValid();
    return m_completionTime < l_other;
}
