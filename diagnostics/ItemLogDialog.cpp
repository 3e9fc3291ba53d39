#include "ItemLogDialog.h"

#include "Data.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "LogPage.h"
#include "ui_ItemLogDialog.h"

#include <QDateTime>
#include <QTextBrowser>
#include <QTextCursor>

namespace
{
QString Text(ItemPtr i_item)
{
    return FromUtf8(i_item.AsString());
}

// A tab shows "&" only when doubled; a single one would mark a shortcut.
QString TabTitle(QString i_text)
{
    return i_text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

// Entries are remote text: added as plain text, nothing in them is read as markup or a link.
void AppendLine(QTextBrowser* ip_page, const QString& i_line)
{
    QTextCursor l_cursor(ip_page->document());
    l_cursor.movePosition(QTextCursor::End);
    if (!ip_page->document()->isEmpty())
        l_cursor.insertBlock();
    l_cursor.insertText(i_line);
}
} // namespace

ItemLogDialog::ItemLogDialog(ItemPtr i_item, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(std::make_unique<Ui_ItemLogDialog>())
{
    mp_ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    mp_allPage = NewPage(tr("All"));
    // The client declares no log entry types: without them there is nothing to show or follow.
    if (!d.HasType("item_log"))
        return;
    auto* lp_root = new PathNode(&d, "item_log");
    new PathNode(lp_root, static_cast<Item*>(i_item), OnConnect);
    d.AddPathEventHandler(lp_root,
                          new EventHandler<ItemLogDialog, Item*>(this, &ItemLogDialog::OnItemLog));
    for (Item* lp_entry : i_item.GetItems("item_log").SortNumericBy("log_order", true))
        OnItemLog(lp_entry);
}

ItemLogDialog::~ItemLogDialog()
{
    RemoveDataHandlers();
}

void ItemLogDialog::OnItemLog(Item* ip_entry)
{
    ItemPtr l_entry(ip_entry);
    // Every part comes from the data file: the line is marked whole, so that none starts another.
    const QString l_line = ShownText(FormatLogLine(
        Text(l_entry["log_time"]), l_entry["log_level"].AsInt(), Text(l_entry["log_text"])));
    AppendLine(AreaPage(Text(l_entry["log_area"])), l_line);
    AppendLine(mp_allPage, l_line);
}

bool ItemLogDialog::CompareLogItemDates(ItemPtr i_first, ItemPtr i_second)
{
    return QDateTime::fromString(Text(i_first["log_time"]), Qt::TextDate) <
           QDateTime::fromString(Text(i_second["log_time"]), Qt::TextDate);
}

QTextBrowser* ItemLogDialog::NewPage(const QString& i_title)
{
    QTextBrowser* lp_page = NewLogPage(nullptr);
    mp_ui->logTabWidget->addTab(lp_page, TabTitle(i_title));
    return lp_page;
}

QTextBrowser* ItemLogDialog::AreaPage(const QString& i_area)
{
    const QString l_title = TabTitle(i_area);
    QTabWidget* lp_tabs = mp_ui->logTabWidget;
    for (int l_index = 0; l_index < lp_tabs->count(); ++l_index)
        if (lp_tabs->tabText(l_index) == l_title)
            if (auto* lp_page = qobject_cast<QTextBrowser*>(lp_tabs->widget(l_index)))
                return lp_page;
    return NewPage(i_area);
}
