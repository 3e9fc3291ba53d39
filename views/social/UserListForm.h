#pragma once

#include <QWidget>

// The Users page. For now an empty page: the user list view comes with the rooms, chat and
// users views.
class UserListForm : public QWidget
{
    Q_OBJECT

public:
    explicit UserListForm(QWidget* ip_parent = nullptr);

    // Once the data file is loaded.
    void Init();
};
