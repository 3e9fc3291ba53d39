#include "WindowDriver.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDeadlineTimer>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>

#include <cstdio>
#include <functional>
#include <optional>

#include <unistd.h>

namespace
{
constexpr int awaitMs = 60000;
constexpr int pollMs = 50;

// Menu and tab texts mark shortcuts with "&" and write a plain "&" as "&&".
QString Plain(QString i_text)
{
    i_text.replace(QLatin1String("&&"), QString(QChar(0x1)));
    i_text.remove(QLatin1Char('&'));
    return i_text.replace(QChar(0x1), QLatin1Char('&'));
}

bool Matches(const QWidget* ip_widget, const QString& i_name)
{
    return ip_widget->objectName() == i_name ||
           QLatin1String(ip_widget->metaObject()->className()) == i_name;
}

// Visible widgets come first, each group in creation order.
QList<QWidget*> VisibleFirst(const QList<QWidget*>& i_widgets)
{
    QList<QWidget*> l_sorted;
    for (bool l_visible : {true, false})
        for (QWidget* lp_widget : i_widgets)
            if (lp_widget->isVisible() == l_visible)
                l_sorted.append(lp_widget);
    return l_sorted;
}

QWidget* Find(const QString& i_path)
{
    QList<QWidget*> l_scope = QApplication::topLevelWidgets();
    QWidget* lp_found = nullptr;
    for (const QString& l_segment : i_path.split(QLatin1Char('/')))
    {
        const QString l_name = l_segment.section(QLatin1Char('#'), 0, 0);
        const int l_index = l_segment.section(QLatin1Char('#'), 1).toInt();
        QList<QWidget*> l_matches;
        for (QWidget* lp_root : l_scope)
        {
            if (!lp_found && Matches(lp_root, l_name))
                l_matches.append(lp_root);
            for (QWidget* lp_child : lp_root->findChildren<QWidget*>())
                if (Matches(lp_child, l_name) && !l_matches.contains(lp_child))
                    l_matches.append(lp_child);
        }
        l_matches = VisibleFirst(l_matches);
        if (l_index >= l_matches.size())
            return nullptr;
        lp_found = l_matches.at(l_index);
        l_scope = {lp_found};
    }
    return lp_found;
}

QString Marked(bool i_current, const QString& i_text)
{
    return (i_current ? QLatin1String("* ") : QLatin1String("")) + i_text;
}

void AddRows(QAbstractItemView* ip_view, const QModelIndex& i_parent, int i_depth,
             QStringList& o_lines)
{
    QAbstractItemModel* lp_model = ip_view->model();
    auto* lp_tree = qobject_cast<QTreeView*>(ip_view);
    auto* lp_list = qobject_cast<QListView*>(ip_view);
    for (int l_row = 0; l_row < lp_model->rowCount(i_parent); ++l_row)
    {
        if ((lp_tree && lp_tree->isRowHidden(l_row, i_parent)) ||
            (lp_list && lp_list->isRowHidden(l_row)))
            continue;
        QStringList l_cells;
        for (int l_column = 0; l_column < lp_model->columnCount(i_parent); ++l_column)
        {
            const QModelIndex l_index = lp_model->index(l_row, l_column, i_parent);
            QString l_cell = l_index.data().toString();
            // Icons tell states apart (a user online or not): each different icon by a number.
            if (const QIcon l_icon = l_index.data(Qt::DecorationRole).value<QIcon>();
                !l_icon.isNull())
                l_cell.prepend(QStringLiteral("{%1} ").arg(l_icon.cacheKey() % 1000));
            if (const QVariant l_check = l_index.data(Qt::CheckStateRole); l_check.isValid())
                l_cell.prepend(l_check.toInt() == Qt::Checked ? QLatin1String("[x] ")
                                                              : QLatin1String("[ ] "));
            if (QWidget* lp_cell = ip_view->indexWidget(l_index))
                l_cell += WindowDriver::Shown(lp_cell);
            l_cells.append(l_cell);
        }
        o_lines.append(QString(2 * i_depth, QLatin1Char(' ')) + l_cells.join(QLatin1String(" | ")));
        AddRows(ip_view, lp_model->index(l_row, 0, i_parent), i_depth + 1, o_lines);
    }
}

// The row's first cell that shows the text, or that holds it.
QModelIndex FindRow(QAbstractItemView* ip_view, const QString& i_text)
{
    QModelIndex l_partial;
    const std::function<QModelIndex(const QModelIndex&)> l_search = [&](const QModelIndex& i_parent)
    {
        QAbstractItemModel* lp_model = ip_view->model();
        for (int l_row = 0; l_row < lp_model->rowCount(i_parent); ++l_row)
        {
            auto* lp_tree = qobject_cast<QTreeView*>(ip_view);
            if (lp_tree && lp_tree->isRowHidden(l_row, i_parent))
                continue;
            for (int l_column = 0; l_column < lp_model->columnCount(i_parent); ++l_column)
            {
                const QModelIndex l_index = lp_model->index(l_row, l_column, i_parent);
                QString l_shown = l_index.data().toString();
                if (QWidget* lp_cell = ip_view->indexWidget(l_index))
                    l_shown += WindowDriver::Shown(lp_cell);
                if (l_shown == i_text)
                    return l_index;
                if (!l_partial.isValid() && l_shown.contains(i_text))
                    l_partial = l_index;
            }
            if (const QModelIndex l_below = l_search(lp_model->index(l_row, 0, i_parent));
                l_below.isValid())
                return l_below;
        }
        return QModelIndex();
    };
    const QModelIndex l_exact = l_search(QModelIndex());
    return l_exact.isValid() ? l_exact : l_partial;
}

void Focus(QWidget* ip_widget)
{
    QApplication::setActiveWindow(ip_widget->window());
    ip_widget->setFocus(Qt::MouseFocusReason);
}

std::optional<Qt::Key> KeyNamed(const QString& i_name)
{
    static const QList<QPair<QString, Qt::Key>> l_keys = {
        {QStringLiteral("Return"), Qt::Key_Return},
        {QStringLiteral("Space"), Qt::Key_Space},
        {QStringLiteral("Escape"), Qt::Key_Escape},
        {QStringLiteral("Delete"), Qt::Key_Delete},
        {QStringLiteral("Down"), Qt::Key_Down},
        {QStringLiteral("Up"), Qt::Key_Up},
        {QStringLiteral("End"), Qt::Key_End},
        {QStringLiteral("Backspace"), Qt::Key_Backspace}};
    for (const auto& [l_name, l_key] : l_keys)
        if (l_name == i_name)
            return l_key;
    return std::nullopt;
}

QAction* FindAction(const QString& i_text)
{
    QList<QAction*> l_hidden;
    for (QWidget* lp_widget : QApplication::allWidgets())
        for (QAction* lp_action : lp_widget->actions())
            if (Plain(lp_action->text()) == i_text && lp_action->isEnabled())
            {
                if (lp_widget->isVisible() && !qobject_cast<QMenu*>(lp_widget))
                    return lp_action;
                l_hidden.append(lp_action);
            }
    return l_hidden.value(0);
}

// Works the menu that opens next: each entry of the path in turn, submenus opened with the
// keyboard, the last entry chosen with Return, as a person picks it.
void AnswerMenu(QStringList i_entries, std::function<void(const QString&)> i_failed)
{
    auto* lp_poll = new QTimer();
    auto l_deadline = QDeadlineTimer(awaitMs);
    QObject::connect(lp_poll, &QTimer::timeout, lp_poll,
                     [lp_poll, i_entries, i_failed, l_deadline]() mutable
                     {
                         auto* lp_menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                         if (!lp_menu && !l_deadline.hasExpired())
                             return;
                         QAction* lp_entry = nullptr;
                         if (lp_menu)
                             for (QAction* lp_action : lp_menu->actions())
                                 if (Plain(lp_action->text()) == i_entries.first())
                                     lp_entry = lp_action;
                         if (!lp_entry)
                         {
                             if (lp_menu)
                                 lp_menu->close();
                             i_failed(QStringLiteral("no menu entry ") + i_entries.first());
                             lp_poll->deleteLater();
                             return;
                         }
                         lp_menu->setActiveAction(lp_entry);
                         i_entries.removeFirst();
                         QTest::keyClick(lp_menu,
                                         i_entries.isEmpty() ? Qt::Key_Return : Qt::Key_Right);
                         if (i_entries.isEmpty())
                             lp_poll->deleteLater();
                     });
    lp_poll->start(pollMs);
}
} // namespace

WindowDriver::WindowDriver(QObject* ip_parent)
    : QObject(ip_parent), mp_input(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this))
{
    connect(mp_input, &QSocketNotifier::activated, this, &WindowDriver::OnInput);
}

QString WindowDriver::Shown(QWidget* ip_widget)
{
    if (auto* lp_view = qobject_cast<QAbstractItemView*>(ip_widget))
    {
        QStringList l_lines;
        AddRows(lp_view, lp_view->rootIndex(), 0, l_lines);
        return l_lines.join(QLatin1Char('\n'));
    }
    if (auto* lp_edit = qobject_cast<QLineEdit*>(ip_widget))
        return lp_edit->text();
    if (auto* lp_text = qobject_cast<QTextEdit*>(ip_widget))
        return lp_text->toPlainText();
    if (auto* lp_text = qobject_cast<QPlainTextEdit*>(ip_widget))
        return lp_text->toPlainText();
    if (auto* lp_label = qobject_cast<QLabel*>(ip_widget))
        return lp_label->text();
    if (auto* lp_button = qobject_cast<QAbstractButton*>(ip_widget))
        return Plain(lp_button->text()) +
               (lp_button->isCheckable()
                    ? (lp_button->isChecked() ? QLatin1String(" [x]") : QLatin1String(" [ ]"))
                    : QLatin1String(""));
    if (auto* lp_spin = qobject_cast<QAbstractSpinBox*>(ip_widget))
        return lp_spin->text();
    QStringList l_lines;
    if (auto* lp_combo = qobject_cast<QComboBox*>(ip_widget))
        for (int l_index = 0; l_index < lp_combo->count(); ++l_index)
            l_lines.append(
                Marked(l_index == lp_combo->currentIndex(), lp_combo->itemText(l_index)));
    else if (auto* lp_tabs = qobject_cast<QTabWidget*>(ip_widget))
    {
        for (int l_index = 0; l_index < lp_tabs->count(); ++l_index)
            l_lines.append(
                Marked(l_index == lp_tabs->currentIndex(), Plain(lp_tabs->tabText(l_index))));
        if (lp_tabs->currentWidget())
            l_lines.append(Shown(lp_tabs->currentWidget()));
    }
    else
        for (QWidget* lp_child : ip_widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (lp_child->isVisibleTo(ip_widget) && !lp_child->isWindow())
                if (const QString l_text = Shown(lp_child); !l_text.isEmpty())
                    l_lines.append(l_text);
    return l_lines.join(QLatin1Char('\n'));
}

void WindowDriver::OnInput()
{
    char l_buffer[4096];
    const ssize_t l_read = read(STDIN_FILENO, l_buffer, sizeof l_buffer);
    if (l_read <= 0)
    {
        // The test has gone: nobody is left to drive the windows.
        mp_input->setEnabled(false);
        QApplication::exit(1);
        return;
    }
    m_pending.append(l_buffer, l_read);
    for (qsizetype l_end; (l_end = m_pending.indexOf('\n')) >= 0;)
    {
        const QString l_line = QString::fromUtf8(m_pending.left(l_end));
        m_pending.remove(0, l_end + 1);
        Run(l_line.split(QLatin1Char('\t')));
    }
}

void WindowDriver::Answer(bool i_ok, const QString& i_text)
{
    QString l_text = i_text;
    l_text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    const QByteArray l_line =
        (i_ok ? QByteArrayLiteral("ok\t") : QByteArrayLiteral("fail\t")) + l_text.toUtf8() + '\n';
    std::fwrite(l_line.constData(), 1, size_t(l_line.size()), stdout);
    std::fflush(stdout);
}

void WindowDriver::Retry(const QStringList& i_step, const QString& i_why)
{
    if (m_stepDeadline.hasExpired())
        return Answer(false, i_why);
    m_retrying = true;
    QTimer::singleShot(pollMs, this, [this, i_step] { Run(i_step); });
}

void WindowDriver::Run(const QStringList& i_step)
{
    if (!m_retrying)
        m_stepDeadline = QDeadlineTimer(awaitMs);
    m_retrying = false;
    const QString l_verb = i_step.value(0);
    QWidget* lp_widget = l_verb == QLatin1String("trigger") ? nullptr : Find(i_step.value(1));
    if (l_verb == QLatin1String("await") || l_verb == QLatin1String("absent"))
    {
        // Polled: what a widget shows changes in many ways that no one signal announces.
        const bool l_present = l_verb == QLatin1String("await");
        auto* lp_poll = new QTimer(this);
        const QDeadlineTimer l_deadline(awaitMs);
        const QString l_path = i_step.value(1), l_text = i_step.value(2);
        connect(lp_poll, &QTimer::timeout, this,
                [this, lp_poll, l_deadline, l_path, l_text, l_present]
                {
                    QWidget* lp_target = Find(l_path);
                    const QString l_shown = lp_target ? Shown(lp_target) : QString();
                    if (lp_target && l_shown.contains(l_text) == l_present)
                        Answer(true, l_shown);
                    else if (l_deadline.hasExpired())
                        Answer(false, (lp_target ? QStringLiteral("it shows: ")
                                                 : QStringLiteral("no widget: ")) +
                                          (lp_target ? l_shown : l_path));
                    else
                        return;
                    lp_poll->deleteLater();
                });
        lp_poll->start(pollMs);
        return;
    }
    if (l_verb == QLatin1String("trigger"))
    {
        QAction* lp_action = FindAction(i_step.value(1));
        if (!lp_action)
            return Retry(i_step, QStringLiteral("no action ") + i_step.value(1));
        Answer(true, QString());
        QTimer::singleShot(0, lp_action, &QAction::trigger);
        return;
    }
    if (!lp_widget)
        return Retry(i_step, QStringLiteral("no widget ") + i_step.value(1));
    if (l_verb == QLatin1String("show"))
        return Answer(true, Shown(lp_widget));
    if (l_verb == QLatin1String("grab"))
        return Answer(lp_widget->grab().save(i_step.value(2)), i_step.value(2));
    if (l_verb == QLatin1String("type"))
    {
        Focus(lp_widget);
        QTest::keyClicks(lp_widget, i_step.value(2));
        return Answer(true, Shown(lp_widget));
    }
    if (l_verb == QLatin1String("close"))
    {
        Answer(true, QString());
        QTimer::singleShot(0, lp_widget->window(), &QWidget::close);
        return;
    }
    if (l_verb == QLatin1String("key"))
    {
        const std::optional<Qt::Key> l_key = KeyNamed(i_step.value(2));
        if (!l_key)
            return Answer(false, QStringLiteral("no key ") + i_step.value(2));
        Answer(true, QString());
        QTimer::singleShot(0, lp_widget,
                           [lp_widget, l_key]
                           {
                               Focus(lp_widget);
                               QWidget* lp_target = lp_widget;
                               if (auto* lp_view = qobject_cast<QAbstractItemView*>(lp_widget))
                                   lp_target = lp_view->viewport();
                               QTest::keyClick(lp_target, *l_key);
                           });
        return;
    }
    if (l_verb == QLatin1String("tab"))
    {
        // The widget's own tab bar, or the first below it with a tab of that title.
        QList<QTabBar*> l_bars = lp_widget->findChildren<QTabBar*>();
        if (auto* lp_tabs = qobject_cast<QTabWidget*>(lp_widget))
            l_bars.prepend(lp_tabs->tabBar());
        else if (auto* lp_bar = qobject_cast<QTabBar*>(lp_widget))
            l_bars.prepend(lp_bar);
        for (QTabBar* lp_bar : l_bars)
            for (int l_index = 0; l_index < lp_bar->count(); ++l_index)
                if (Plain(lp_bar->tabText(l_index)) == i_step.value(2))
                {
                    QTest::mouseClick(lp_bar, Qt::LeftButton, {},
                                      lp_bar->tabRect(l_index).center());
                    // A click on a bar that is not shown does not reach it.
                    lp_bar->setCurrentIndex(l_index);
                    return Answer(true, QString());
                }
        return Retry(i_step, QStringLiteral("no tab ") + i_step.value(2));
    }
    auto* lp_view = qobject_cast<QAbstractItemView*>(lp_widget);
    if (l_verb == QLatin1String("click") && !lp_view)
    {
        auto* lp_button = qobject_cast<QAbstractButton*>(lp_widget);
        for (QAbstractButton* lp_child : lp_widget->findChildren<QAbstractButton*>())
            if (!lp_button && lp_child->isVisible() && Plain(lp_child->text()) == i_step.value(2))
                lp_button = lp_child;
        if (!lp_button)
            return Retry(i_step, QStringLiteral("no button ") + i_step.value(2));
        Answer(true, QString());
        QTimer::singleShot(
            0, lp_button,
            [lp_button]
            {
                Focus(lp_button);
                // Near the left edge: a check box takes clicks on its box and
                // text only, which may be narrower than the widget.
                QTest::mouseClick(lp_button, Qt::LeftButton, {},
                                  QPoint(qMin(8, lp_button->width() / 2), lp_button->height() / 2));
            });
        return;
    }
    if (!lp_view)
        return Answer(false, QStringLiteral("not a list: ") + i_step.value(1));
    if (l_verb == QLatin1String("click") && i_step.size() < 3)
    {
        // A click on the list's empty space: it takes the focus, and its rows stay as they were.
        Focus(lp_view);
        return Answer(true, QString());
    }
    const QModelIndex l_row = FindRow(lp_view, i_step.value(2));
    if (!l_row.isValid())
        return Retry(i_step, QStringLiteral("no row ") + i_step.value(2) +
                                 QStringLiteral("; it shows: ") + Shown(lp_view));
    Answer(true, QString());
    const QPersistentModelIndex l_kept(l_row);
    const QStringList l_entries = i_step.value(3).split(QLatin1Char('>'));
    QTimer::singleShot(0, lp_view,
                       [lp_view, l_kept, l_verb, l_entries]
                       {
                           Focus(lp_view);
                           lp_view->scrollTo(l_kept);
                           const QPoint l_point = lp_view->visualRect(l_kept).center();
                           if (l_verb == QLatin1String("click"))
                               QTest::mouseClick(lp_view->viewport(), Qt::LeftButton, {}, l_point);
                           else if (l_verb == QLatin1String("dclick"))
                           {
                               QTest::mouseClick(lp_view->viewport(), Qt::LeftButton, {}, l_point);
                               QTest::mouseDClick(lp_view->viewport(), Qt::LeftButton, {}, l_point);
                           }
                           else if (l_verb == QLatin1String("menu"))
                           {
                               QTest::mouseClick(lp_view->viewport(), Qt::LeftButton, {}, l_point);
                               AnswerMenu(l_entries,
                                          [](const QString& i_why) {
                                              std::fprintf(stderr, "menu: %s\n", qPrintable(i_why));
                                          });
                               QContextMenuEvent l_event(QContextMenuEvent::Mouse, l_point,
                                                         lp_view->viewport()->mapToGlobal(l_point));
                               QApplication::sendEvent(lp_view->viewport(), &l_event);
                           }
                       });
}
