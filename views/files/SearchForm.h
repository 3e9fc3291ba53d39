#pragma once

#include <QWidget>

// The Search page. For now an empty page: its view comes with the search, browse and transfer
// views; what it keeps in the data file is declared already.
class SearchForm : public QWidget
{
    Q_OBJECT

public:
    explicit SearchForm(QWidget* ip_parent = nullptr);

    // Once at start-up, after the transfer service exists and before the data file is loaded.
    void Init();
};
