#include "SearchResultListItem.h"

#include <QTreeWidget>

namespace
{
constexpr int FreeColumn = 1;
constexpr int SpeedColumn = 2;
constexpr int FileColumn = 4;
const QString g_freeSlot = QStringLiteral("Y");
} // namespace

SearchResultListItem::SearchResultListItem(QTreeWidget* ip_tree) : QTreeWidgetItem(ip_tree, 0) {}

SearchResultListItem::SearchResultListItem(QTreeWidgetItem* ip_parent)
    : QTreeWidgetItem(ip_parent, 0)
{
}

SearchResultListItem::~SearchResultListItem() = default;

bool SearchResultListItem::operator<(const QTreeWidgetItem& i_other) const
{
    const QTreeWidget* lp_tree = treeWidget();
    const int l_column = lp_tree ? lp_tree->sortColumn() : FileColumn;
    if (l_column == FreeColumn)
    {
        const QString l_mine = text(FreeColumn);
        const QString l_theirs = i_other.text(FreeColumn);
        if (l_mine != l_theirs)
        {
            if (l_mine == g_freeSlot)
                return false;
            if (l_theirs == g_freeSlot)
                return true;
            // A longer queue sorts lower, so a descending order shows the shortest first.
            return l_mine.toInt() > l_theirs.toInt();
        }
    }
    if (l_column == FreeColumn || l_column == SpeedColumn)
    {
        const double l_mine = text(SpeedColumn).toDouble();
        const double l_theirs = i_other.text(SpeedColumn).toDouble();
        if (l_mine != l_theirs)
            return l_mine < l_theirs;
    }
    // Reversed, so that the descending orders list a folder's files by increasing name.
    return i_other.text(FileColumn) < text(FileColumn);
}
