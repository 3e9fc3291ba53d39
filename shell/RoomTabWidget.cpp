#include "RoomTabWidget.h"

#include "NameTabBar.h"

RoomTabWidget::RoomTabWidget(QWidget* ip_parent) : QTabWidget(ip_parent)
{
    setTabBar(new NameTabBar(this));
    // Titles are names from other users: a long one is cut short rather than pushing its close
    // button out of reach.
    setElideMode(Qt::ElideRight);
}
