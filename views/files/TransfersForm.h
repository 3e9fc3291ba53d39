#pragma once

#include <QWidget>

// The Transfers page. For now an empty page: its view comes with the search, browse and transfer
// views.
class TransfersForm : public QWidget
{
    Q_OBJECT

public:
    explicit TransfersForm(QWidget* ip_parent = nullptr);

    // Once at start-up, before the data file is loaded.
    void Init();
};
