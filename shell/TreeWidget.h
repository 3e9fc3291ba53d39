#pragma once

#include <QTreeWidget>

// A list that announces every key press before handling it as usual.
class TreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    explicit TreeWidget(QWidget* ip_parent = nullptr);

signals:
    void KeyPressed(QKeyEvent* ip_event);

protected:
    void keyPressEvent(QKeyEvent* ip_event) override;
};
