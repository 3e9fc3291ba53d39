#include "UIFunctions.h"

#include <QTabWidget>

void FocusWidget(QWidget* ip_widget)
{
    ip_widget->activateWindow();
    ip_widget->setFocus(Qt::OtherFocusReason);

    // A tab widget's pages sit inside its internal stack: look for the page among the
    // objects between the widget and the tab widget.
    for (QObject* lp_parent = ip_widget->parent(); lp_parent; lp_parent = lp_parent->parent())
    {
        if (QTabWidget* lp_tabs = qobject_cast<QTabWidget*>(lp_parent))
        {
            for (QObject* lp_page = ip_widget; lp_page != lp_tabs; lp_page = lp_page->parent())
            {
                const int l_index = lp_tabs->indexOf(qobject_cast<QWidget*>(lp_page));
                if (l_index >= 0)
                {
                    lp_tabs->setCurrentIndex(l_index);
                    break;
                }
            }
        }
    }
}
