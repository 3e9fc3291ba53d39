#pragma once

#include <QTabWidget>

// A tab widget that, whenever a tab becomes current, gives the focus to the page's marked widget
// of highest priority (RegisterWidgetForTabFocus).
class TabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit TabWidget(QWidget* ip_parent = nullptr);

public slots:
    void OnTabChanged(int i_index);
};
