#include "TabWidget.h"

#include "NameTabBar.h"
#include "UIFunctions.h"

TabWidget::TabWidget(QWidget* ip_parent) : QTabWidget(ip_parent)
{
    setTabBar(new NameTabBar(this));
    // Titles may be names or search texts from other users: a long one is cut short rather than
    // pushing its close button out of reach.
    setElideMode(Qt::ElideRight);
    connect(this, &QTabWidget::currentChanged, this, &TabWidget::OnTabChanged);
}

void TabWidget::OnTabChanged(int i_index)
{
    if (i_index == -1)
        return;
    FindWidgetFocusProperty(widget(i_index), 0);
}
