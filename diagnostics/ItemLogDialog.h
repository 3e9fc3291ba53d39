#pragma once

#include "DataHandler.h"
#include "ItemPtr.h"

#include <QDialog>

#include <memory>

class Item;
class QTextBrowser;
class Ui_ItemLogDialog;

// The log entries of one store item: a page per area and the page "All", each line shaped like a
// diagnostics log line. Entries are item_log items connected to the item, with one log_time,
// log_area, log_level, log_text and log_order item each; those types must be declared before a
// dialog is made. Deletes itself when closed.
class ItemLogDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    ItemLogDialog(ItemPtr i_item, QWidget* ip_parent = nullptr);
    ~ItemLogDialog() override;

    // Store handler: an entry connected to the item.
    void OnItemLog(Item* ip_entry);

    // Whether the first entry's time, read in Qt's text date format, is before the second's.
    static bool CompareLogItemDates(ItemPtr i_first, ItemPtr i_second);

private:
    QTextBrowser* NewPage(const QString& i_title);
    QTextBrowser* AreaPage(const QString& i_area);

    std::unique_ptr<Ui_ItemLogDialog> mp_ui;
    QTextBrowser* mp_allPage;
};
