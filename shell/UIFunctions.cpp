#include "UIFunctions.h"

#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVariant>

bool g_showIsOver = false;

namespace
{
const char* const FocusProperty = "get_focus";
}

// The resources live in a static library: without this call the linker drops them. The macro
// must stand outside every namespace.
void InitIconResources()
{
    Q_INIT_RESOURCE(icons);
}

QString EscapeAmpersands(QString i_text)
{
    return i_text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

void FitColumnToText(QTreeWidget* ip_tree, int i_column, const QString& i_text, int i_margin)
{
    const int l_width = ip_tree->fontMetrics().horizontalAdvance(i_text) + i_margin;
    if (ip_tree->columnWidth(i_column) < l_width)
        ip_tree->setColumnWidth(i_column, l_width);
}

void FitColumnToSizes(QTreeWidget* ip_tree, int i_column)
{
    FitColumnToText(ip_tree, i_column, QStringLiteral("9,999,999,999"), 12);
}

QString EscapeTitlePlaceholders(QString i_text)
{
    return i_text.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

QString ChatLineTooLongText(const std::string& i_line)
{
    // Counted in bytes as sent: a character may take up to four.
    if (i_line.size() <= std::size_t(MaxChatLineLength))
        return {};
    return QStringLiteral("Not sent: the line takes %1 bytes, a message carries at most %2.")
        .arg(i_line.size())
        .arg(MaxChatLineLength);
}

bool ChatLineFits(const std::string& i_line, QPlainTextEdit* ip_lines)
{
    const QString l_reason = ChatLineTooLongText(i_line);
    if (l_reason.isEmpty())
        return true;
    ip_lines->appendPlainText(l_reason);
    return false;
}

void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_priority)
{
    ip_widget->setProperty(FocusProperty, i_priority);
    if (ip_widget->isVisible())
        ip_widget->setFocus(Qt::OtherFocusReason);
}

int FindWidgetFocusProperty(QWidget* ip_widget, int i_best)
{
    if (!ip_widget->isVisible())
        return i_best;
    const QVariant l_priority = ip_widget->property(FocusProperty);
    if (l_priority.isValid() && l_priority.toInt() > i_best)
    {
        ip_widget->setFocus(Qt::OtherFocusReason);
        i_best = l_priority.toInt();
    }
    // Direct children, each searched in turn, visit the page's widgets in the same order as one
    // walk over all descendants, while visiting each widget once however deep the page is.
    for (QWidget* lp_child : ip_widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        i_best = FindWidgetFocusProperty(lp_child, i_best);
    return i_best;
}

void FocusWidgetAndParents(QWidget* ip_widget)
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

void FocusWidget(QWidget* ip_widget)
{
    FocusWidgetAndParents(ip_widget);
}
