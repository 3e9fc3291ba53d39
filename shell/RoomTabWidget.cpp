#include "RoomTabWidget.h"

RoomTabWidget::RoomTabWidget(QWidget* ip_parent) : QTabWidget(ip_parent)
{
    // Titles are names from other users: a long one is cut short rather than pushing its close
    // button out of reach.
    setElideMode(Qt::ElideRight);
}
