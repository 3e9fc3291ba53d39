#pragma once

#include <QTabBar>

// The tab bar of tab widgets whose titles may be names from other users, each '&' doubled: a
// title cut short keeps its first two characters and "…", an ampersand among them too.
class NameTabBar : public QTabBar
{
    Q_OBJECT

public:
    explicit NameTabBar(QWidget* ip_parent = nullptr);

protected:
    QSize minimumTabSizeHint(int i_index) const override;
};
