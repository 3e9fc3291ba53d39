#include "DiagnosticsForm.h"

#include "CellToolTipDelegate.h"
#include "Data.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "LogPage.h"
#include "StoreExceptions.h"
#include "ui_DiagnosticsForm.h"

#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

#include <utility>

DiagnosticsForm* diagnosticsForm = nullptr;

namespace
{
const QString online = QStringLiteral("Online");
const QString offline = QStringLiteral("Offline");
} // namespace

DiagnosticsForm::DiagnosticsForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(std::make_unique<Ui_DiagnosticsForm>())
{
    mp_ui->setupUi(this);
    ShowCellTextsAsToolTips(mp_ui->trackedUsersTree);
    diagnosticsForm = this;
    gp_logSink = this;
    mp_ui->trackedUsersTree->setColumnCount(2);
    mp_ui->trackedUsersTree->setHeaderLabels({tr("User"), QString()});
    mp_ui->trackedUsersTree->setColumnWidth(0, 300);
    mp_ui->trackedUsersTree->setColumnWidth(1, 100);
    // A form made again (tests make several) finds its types declared.
    if (!d.HasType("log"))
    {
        d.NewType("log", true, false, true);
        d.NewType("log_widget", true, false, true);
        d["log"]->RelateToType("log_widget", One, One, false);
    }
}

DiagnosticsForm::~DiagnosticsForm()
{
    if (gp_logSink == this)
        gp_logSink = nullptr;
    if (diagnosticsForm == this)
        diagnosticsForm = nullptr;
    // The ties go with the pages and rows they name, so that no later form finds a freed one.
    for (int l_index = 0; l_index < mp_ui->logTabWidget->count(); ++l_index)
        d["log_widget"]->HasItem(mp_ui->logTabWidget->widget(l_index)).Remove();
    if (Type* lp_nodes = d.HasType("track_user_node"))
        for (int l_index = 0; l_index < mp_ui->trackedUsersTree->topLevelItemCount(); ++l_index)
            lp_nodes->HasItem(mp_ui->trackedUsersTree->topLevelItem(l_index)).Remove();
}

void DiagnosticsForm::Init()
{
    if (m_initialised)
    {
        CrashAssert(false);
        throw new TypeAlreadyExistsException();
    }
    m_initialised = true;
    struct Subscription
    {
        const char* mp_flag;
        PathNodeRelation m_relation;
        void (DiagnosticsForm::*m_handler)(Item*);
    };
    static const Subscription subscriptions[] = {
        {"is_tracked", OnConnect, &DiagnosticsForm::OnUserTracked},
        {"is_tracked", OnDisconnect, &DiagnosticsForm::OnUserUntracked},
        {"is_online", OnConnect, &DiagnosticsForm::OnUserOnline},
        {"is_online", OnDisconnect, &DiagnosticsForm::OnUserOffline},
    };
    for (const Subscription& l_subscription : subscriptions)
    {
        auto* lp_root = new PathNode(&d, "user");
        new PathNode(lp_root, l_subscription.mp_flag, l_subscription.m_relation);
        d.AddPathEventHandler(
            lp_root, new EventHandler<DiagnosticsForm, Item*>(this, l_subscription.m_handler));
    }
    if (!d.HasType("track_user_node"))
    {
        d.NewType("track_user_node", true, false, true);
        d["track_user_node"]->RelateToType("user", One, One, false);
    }
}

void DiagnosticsForm::Log(const QString& i_category, int i_level, const QString& i_message, ItemPtr)
{
    QTextBrowser* lp_page = Page(i_category);
    if (m_waitingLines.isEmpty())
        QMetaObject::invokeMethod(this, &DiagnosticsForm::AppendWaitingLines, Qt::QueuedConnection);
    QStringList& l_lines = m_waitingLines[lp_page];
    // A turn that logs more than a page holds keeps only what the page would keep.
    if (l_lines.size() == MaxLinesPerPage)
        l_lines.removeFirst();
    // Lines carry remote names and paths: a direction control among them shows as its mark
    // rather than turning the rest of the line around; a name isolated where the line was made
    // stays one unit of it.
    l_lines.append(FormatLogLine(i_level, ShownLogLine(i_message)));
}

void DiagnosticsForm::AppendWaitingLines()
{
    // Taken whole: a line logged while the pages change waits for the next turn.
    const QHash<QTextBrowser*, QStringList> l_pages = std::exchange(m_waitingLines, {});
    for (auto l_waiting = l_pages.cbegin(); l_waiting != l_pages.cend(); ++l_waiting)
    {
        QTextBrowser* lp_page = l_waiting.key();
        QScrollBar* lp_bar = lp_page->verticalScrollBar();
        const bool l_atEnd = lp_bar->value() == lp_bar->maximum();
        // Inserted as text: whatever markup a line holds is shown as typed. One edit block, so
        // that the page's layout follows once for all the lines.
        QTextCursor l_cursor(lp_page->document());
        l_cursor.beginEditBlock();
        l_cursor.movePosition(QTextCursor::End);
        bool l_first = lp_page->document()->isEmpty();
        for (const QString& l_line : l_waiting.value())
        {
            if (!l_first)
                l_cursor.insertBlock();
            l_first = false;
            l_cursor.insertText(l_line);
        }
        l_cursor.endEditBlock();
        if (l_atEnd)
            lp_bar->setValue(lp_bar->maximum());
    }
}

void DiagnosticsForm::RegisterLoggableItemType(std::string) {}

QStringList DiagnosticsForm::Lines(const QString& i_category)
{
    AppendWaitingLines();
    ItemPtr l_page = d["log"]->HasItem(i_category.toLatin1().toStdString())["log_widget"];
    if (!l_page)
        return {};
    return l_page.AsPtr<QTextBrowser>()->document()->toPlainText().split(QLatin1Char('\n'));
}

QTextBrowser* DiagnosticsForm::Page(const QString& i_category)
{
    ItemPtr l_log = d["log"]->GetItem(i_category.toLatin1().toStdString());
    if (ItemPtr l_page = l_log["log_widget"])
        return l_page.AsPtr<QTextBrowser>();
    QTextBrowser* lp_page = NewLogPage(this);
    lp_page->document()->setMaximumBlockCount(MaxLinesPerPage);
    QString l_title = i_category;
    mp_ui->logTabWidget->addTab(lp_page, l_title.replace(QLatin1Char('&'), QStringLiteral("&&")));
    l_log += d["log_widget"]->GetItem(lp_page);
    return lp_page;
}

void DiagnosticsForm::OnUserTracked(Item* ip_user)
{
    ItemPtr l_user(ip_user);
    // Tracked again while its row still stands: the row serves.
    if (l_user.IsConnected("track_user_node"))
    {
        SetUserState(ip_user, l_user.IsConnected("is_online"));
        return;
    }
    auto* lp_row = new QTreeWidgetItem(mp_ui->trackedUsersTree);
    const std::string l_name = l_user.AsString();
    lp_row->setText(0, ShownName(l_name));
    lp_row->setText(1, l_user.IsConnected("is_online") ? online : offline);
    l_user += d["track_user_node"]->GetItem(lp_row);
}

void DiagnosticsForm::OnUserUntracked(Item* ip_user)
{
    ItemPtr l_node = ItemPtr(ip_user)["track_user_node"];
    if (!l_node)
        return;
    delete l_node.AsPtr<QTreeWidgetItem>();
    l_node.Remove();
}

void DiagnosticsForm::OnUserOnline(Item* ip_user)
{
    SetUserState(ip_user, true);
}

void DiagnosticsForm::OnUserOffline(Item* ip_user)
{
    SetUserState(ip_user, false);
}

void DiagnosticsForm::SetUserState(Item* ip_user, bool i_online)
{
    if (ItemPtr l_node = ItemPtr(ip_user)["track_user_node"])
        l_node.AsPtr<QTreeWidgetItem>()->setText(1, i_online ? online : offline);
}
