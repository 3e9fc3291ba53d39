#pragma once

#include <QTabWidget>

// The tab widget of the private chats: a plain tab widget, which leaves the focus where the
// chat page puts it.
class RoomTabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit RoomTabWidget(QWidget* ip_parent = nullptr);
};
