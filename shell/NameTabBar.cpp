#include "NameTabBar.h"

NameTabBar::NameTabBar(QWidget* ip_parent) : QTabBar(ip_parent) {}

QSize NameTabBar::minimumTabSizeHint(int i_index) const
{
    // The base measures the least tab with the title's first two characters and "...": half of a
    // doubled '&' there hides a dot instead of showing an '&', and the tab, too narrow for the
    // characters it cuts the title to, shows "…" alone. It is widened by what is missing.
    const QSize l_size = QTabBar::minimumTabSizeHint(i_index);
    const QString l_title = tabText(i_index);
    if (elideMode() != Qt::ElideRight || l_title.size() <= 3)
        return l_size;
    qsizetype l_end = 0;
    for (int l_count = 0; l_count < 2; ++l_count)
        l_end += l_title.mid(l_end, 2) == QStringLiteral("&&") ? 2 : 1;
    const QString l_dots = QStringLiteral("...");
    const int l_missing =
        fontMetrics().size(Qt::TextShowMnemonic, l_title.left(l_end) + l_dots).width() -
        fontMetrics().size(Qt::TextShowMnemonic, l_title.left(2) + l_dots).width();
    const bool l_vertical = shape() == RoundedWest || shape() == RoundedEast ||
                            shape() == TriangularWest || shape() == TriangularEast;
    return l_size + (l_vertical ? QSize(0, l_missing) : QSize(l_missing, 0));
}
