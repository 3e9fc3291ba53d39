#include "EventToolBar.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "MainWindow.h"
#include "Server.h"
#include "UIFunctions.h"

#include <QApplication>
#include <QTabWidget>
#include <QTextDocument>

EventToolBar* eventToolBar = nullptr;

namespace
{
constexpr int BlinkIntervalMs = 1000;
// The longest notice text shown whole: a longer one would widen the tool bar, and with it the
// main window, past the screen.
constexpr qsizetype MaxNoticeLength = 64;

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
    // The text may come from peers: an ampersand stays a character, and the tool tip, which
    // would take markup for rich text, gets the text as plain text.
    const QString l_shown = MarkDirectionControls(i_text);
    QAction* lp_action = addAction(QIcon(i_icon), EscapeAmpersands(NoticeText(l_shown)));
    lp_action->setToolTip(Qt::convertFromPlainText(l_shown));
    connect(lp_action, &QAction::triggered, this, &EventToolBar::OnActionTriggered);
    ItemPtr(d["event_toolbar_action"]->GetItem(AddressText(lp_action))) +=
        d["event_toolbar_widget"]->GetItem(AddressText(ip_widget));
    connect(ip_widget, &QObject::destroyed, this, &EventToolBar::OnWidgetDestroyed,
            Qt::UniqueConnection);
    show();
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
    ip_action->deleteLater();
    if (actions().isEmpty())
    {
        addAction(QString());
        m_placeholder = true;
        hide();
    }
}

QString EventToolBar::AddressText(const void* ip_pointer)
{
    return QString::number(static_cast<unsigned long>(reinterpret_cast<quintptr>(ip_pointer)));
}
