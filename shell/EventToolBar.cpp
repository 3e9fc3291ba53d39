#include "EventToolBar.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "MainWindow.h"
#include "Server.h"
#include "ToolTips.h"
#include "UIFunctions.h"

#include <QAction>
#include <QApplication>
#include <QLayout>
#include <QScreen>
#include <QTabWidget>
#include <QTextDocument>

#include <algorithm>
#include <vector>

EventToolBar* eventToolBar = nullptr;

namespace
{
constexpr int BlinkIntervalMs = 1000;
// The fewest characters a cut notice keeps where many share the bar.
constexpr int MinNoticeCharacters = 16;
// More characters than any screen's bar shows: a longer text from a peer is cut to this before
// it is measured, as it is again on every resize.
constexpr qsizetype MaxNoticeLength = 1024;

// The start of a long text, then "…"; the tool tip holds the whole text.
QString NoticeText(const QString& i_text)
{
    if (i_text.size() <= MaxNoticeLength)
        return i_text;
    qsizetype l_length = MaxNoticeLength - 1;
    if (i_text[l_length - 1].isHighSurrogate())
        --l_length;
    return i_text.left(l_length) + QChar(0x2026);
}

// The button shows the action's icon text, which, derived from the text, would lose "..." and the
// spaces at its ends: it is set as well, so that the button shows the text as it is.
void SetNoticeText(QAction* ip_action, const QString& i_text)
{
    const QString l_text = EscapeAmpersands(i_text);
    ip_action->setText(l_text);
    ip_action->setIconText(l_text);
}
} // namespace

EventToolBar::EventToolBar(QWidget* ip_parent) : QToolBar(ip_parent)
{
    eventToolBar = this;
    setObjectName(QStringLiteral("eventToolBar"));
    setMovable(false);
    d.NewType("event_toolbar_action", true, false, true);
    d.NewType("event_toolbar_widget", true, false, true);
    d["event_toolbar_action"]->RelateToType("event_toolbar_widget", One, One, false);
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    addAction(QString());
    connect(&m_blinkTimer, &QTimer::timeout, this, &EventToolBar::OnIconAlertTimeout);
    connect(qApp, &QApplication::focusChanged, this, &EventToolBar::OnApplicationFocusChanged);
    hide();
}

EventToolBar::~EventToolBar()
{
    if (eventToolBar == this)
        eventToolBar = nullptr;
}

void EventToolBar::AddEvent(QString i_text, QString i_icon, QWidget* ip_widget)
{
    // Without a main window (views on their own) there is no icon to alert with.
    if (mainWindow && !mainWindow->isActiveWindow())
    {
        if (m_blinkIcons.empty())
        {
            m_blinkPosition = 0;
            m_blinkTimer.start(BlinkIntervalMs);
        }
        m_blinkIcons.insert(i_icon);
    }
    if (ip_widget->isVisible() || d["event_toolbar_widget"]->HasItem(AddressText(ip_widget)))
        return;
    if (m_placeholder)
    {
        clear();
        m_placeholder = false;
    }
    // The text may come from peers: an ampersand stays a character, and the tool tip holds the
    // whole text as it is.
    const QString l_shown = ShownText(i_text);
    const QString l_notice = NoticeText(l_shown);
    QAction* lp_action = addAction(QIcon(i_icon), QString());
    SetNoticeText(lp_action, l_notice);
    m_notices[lp_action] = {l_notice, fontMetrics().horizontalAdvance(l_notice), -1};
    lp_action->setToolTip(PlainToolTip(l_shown));
    connect(lp_action, &QAction::triggered, this, &EventToolBar::OnActionTriggered);
    ItemPtr(d["event_toolbar_action"]->GetItem(AddressText(lp_action))) +=
        d["event_toolbar_widget"]->GetItem(AddressText(ip_widget));
    connect(ip_widget, &QObject::destroyed, this, &EventToolBar::OnWidgetDestroyed,
            Qt::UniqueConnection);
    show();
    FitNotices();
}

void EventToolBar::resizeEvent(QResizeEvent* ip_event)
{
    QToolBar::resizeEvent(ip_event);
    FitNotices();
}

void EventToolBar::FitNotices()
{
    const QList<QAction*> l_actions = actions();
    const QWidget* lp_first = l_actions.isEmpty() ? nullptr : widgetForAction(l_actions.first());
    if (m_placeholder || !lp_first || m_notices.empty())
        return;
    // The bar spans its window (its screen when it stands alone). The texts do not change the
    // icon and margins of a button, which the first button shows, nor the bar's own margins,
    // which its least width shows: it holds the first button alone.
    const QFontMetrics l_metrics = fontMetrics();
    const QWidget* lp_window = window();
    const int l_width =
        lp_window != this ? lp_window->width() : screen()->availableGeometry().width();
    const int l_button =
        lp_first->sizeHint().width() -
        l_metrics.size(Qt::TextShowMnemonic, l_actions.first()->iconText()).width();
    const int l_bar = minimumSizeHint().width() - lp_first->sizeHint().width();
    std::vector<int> l_sorted;
    l_sorted.reserve(m_notices.size());
    for (const auto& [lp_action, l_notice] : m_notices)
        l_sorted.push_back(l_notice.m_width);
    // The room is shared out: a notice that needs less than an equal share leaves the rest to
    // the longer ones, which are cut to what is left, but never below a few characters (those
    // beyond the bar then go behind its extension button).
    int l_room = l_width - l_bar - int(l_sorted.size()) * (l_button + layout()->spacing());
    std::sort(l_sorted.begin(), l_sorted.end());
    int l_limit = l_sorted.back();
    for (std::size_t l_index = 0; l_index < l_sorted.size(); ++l_index)
    {
        const int l_share = l_room / int(l_sorted.size() - l_index);
        if (l_sorted[l_index] > l_share)
        {
            l_limit = l_share;
            break;
        }
        l_room -= l_sorted[l_index];
    }
    l_limit =
        std::max(0, std::min(std::max(l_limit, MinNoticeCharacters * l_metrics.averageCharWidth()),
                             l_width - l_bar - l_button));
    // Only a notice whose cut changes is cut again: once many share the bar, the limit stays at
    // its least and a new notice costs one cut, not one for each notice shown.
    for (auto& [lp_action, l_notice] : m_notices)
    {
        const int l_cut = l_notice.m_width <= l_limit ? l_notice.m_width : l_limit;
        if (l_cut == l_notice.m_cut)
            continue;
        l_notice.m_cut = l_cut;
        // Cut only what is wider: measured whole, a text may come out a pixel wider than its
        // rounded advance and would lose its end.
        SetNoticeText(lp_action,
                      l_cut == l_notice.m_width
                          ? l_notice.m_text
                          : l_metrics.elidedText(l_notice.m_text, Qt::ElideRight, l_cut));
    }
}

void EventToolBar::RemoveEvent(QWidget* ip_widget)
{
    RemoveNotice(ip_widget);
}

void EventToolBar::RemoveNotice(const void* ip_widget)
{
    ItemPtr l_widget = d["event_toolbar_widget"]->HasItem(AddressText(ip_widget));
    if (l_widget.IsNull())
        return;
    ItemPtr l_action = l_widget["event_toolbar_action"];
    RemoveAction(l_action.AsPtr<QAction>());
    l_widget.Remove();
    if (!l_action.IsNull())
        l_action.Remove();
}

void EventToolBar::OnActionTriggered()
{
    if (g_showIsOver)
        return;
    auto* lp_action = qobject_cast<QAction*>(sender());
    ItemPtr l_action = d["event_toolbar_action"]->HasItem(AddressText(lp_action));
    ItemPtr l_widget = l_action["event_toolbar_widget"];
    QWidget* lp_page = l_widget.AsPtr<QWidget>();
    RemoveAction(lp_action);
    if (!l_action.IsNull())
        l_action.Remove();
    if (l_widget.IsNull())
        return;
    l_widget.Remove();
    FocusWidgetAndParents(lp_page);
}

void EventToolBar::OnWidgetDestroyed(QObject* ip_object)
{
    if (g_showIsOver)
        return;
    // The object is no widget any more while it is destroyed: find the notice by address.
    RemoveNotice(ip_object);
}

void EventToolBar::OnIconAlertTimeout()
{
    if (m_blinkIcons.empty() || !mainWindow)
        return;
    if (m_blinkPosition < int(m_blinkIcons.size()))
    {
        mainWindow->SetApplicationIcon(*std::next(m_blinkIcons.begin(), m_blinkPosition));
        ++m_blinkPosition;
        return;
    }
    mainWindow->ResetApplicationIcon();
    m_blinkPosition = 0;
}

void EventToolBar::OnApplicationFocusChanged(QWidget*, QWidget*)
{
    if (g_showIsOver)
        return;
    m_blinkIcons.clear();
    m_blinkTimer.stop();
    // Views may stand without the main window (in their tests): there is no icon to reset then.
    if (mainWindow)
        mainWindow->SetApplicationIcon(gp_server && gp_server->IsConnected()
                                           ? QStringLiteral(":/icons/online_icon")
                                           : QStringLiteral(":/icons/offline_icon"));
}

void EventToolBar::RemoveAction(QAction* ip_action)
{
    if (!ip_action)
        return;
    // The action may be the one whose click is being handled.
    removeAction(ip_action);
    m_notices.erase(ip_action);
    ip_action->deleteLater();
    if (actions().isEmpty())
    {
        addAction(QString());
        m_placeholder = true;
        hide();
    }
    else
        FitNotices();
}

QString EventToolBar::AddressText(const void* ip_pointer)
{
    return QString::number(static_cast<unsigned long>(reinterpret_cast<quintptr>(ip_pointer)));
}
