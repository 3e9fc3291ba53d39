#pragma once

#include <QWidget>

// The Browse page. For now an empty page: its view comes with the search, browse and transfer
// views.
class SharesForm : public QWidget
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);

    // Once at start-up, before the data file is loaded.
    void Init();
};
