#include "CompleteDownloadsForm.h"

#include "CellToolTipDelegate.h"
#include "CompleteDownloadItem.h"
#include "Data.h"
#include "DataSaver.h"
#include "GeneralFunctions.h"
#include "ItemSet.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"
#include "Type.h"
#include "UIFunctions.h"
#include "Value.h"

#include "ui_CompleteDownloadsForm.h"

#include <QHeaderView>

CompleteDownloadsForm* completeDownloadsForm = nullptr;

namespace
{
const char* const nodeType = "complete_download_node";

ItemPtr NodeOf(QTreeWidgetItem* ip_row)
{
    return TypeOf(nodeType)->HasItem(Value(ip_row));
}
} // namespace

CompleteDownloadsForm::CompleteDownloadsForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(std::make_unique<Ui_CompleteDownloadsForm>())
{
    completeDownloadsForm = this;
    mp_ui->setupUi(this);
    const int l_widths[] = {250, 250, 100, 100, 150};
    for (int l_column = 0; l_column < 5; ++l_column)
        mp_ui->downloadList->setColumnWidth(l_column, l_widths[l_column]);
    mp_ui->downloadList->header()->setSectionsMovable(false);
    ShowCellTextsAsToolTips(mp_ui->downloadList);
}

CompleteDownloadsForm::~CompleteDownloadsForm()
{
    if (m_registered && dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    if (d.HasType(nodeType))
        for (int l_row = 0; l_row < mp_ui->downloadList->topLevelItemCount(); ++l_row)
            NodeOf(mp_ui->downloadList->topLevelItem(l_row)).Remove();
    if (completeDownloadsForm == this)
        completeDownloadsForm = nullptr;
}

void CompleteDownloadsForm::Init()
{
    if (!d.HasType(nodeType))
    {
        d.NewType(nodeType, true, false, true);
        Relate(nodeType, "complete_download", One, One);
    }
    connect(transferQueueManager, &TransferQueueManager::CompleteDownloadAdded, this,
            &CompleteDownloadsForm::OnCompleteDownloadAdded);
    if (dataSaver)
    {
        dataSaver->AddDataLoadedEventHandler(this);
        m_registered = true;
    }
    DataLoaded();
}

void CompleteDownloadsForm::DataLoaded()
{
    for (Item* lp_record : g("complete_download"))
        AddRow(lp_record);
    // Once for the whole list: the rows carry their times, so this is one n log n sort.
    mp_ui->downloadList->sortItems(0, Qt::DescendingOrder);
}

void CompleteDownloadsForm::OnCompleteDownloadAdded(ItemPtr i_download)
{
    AddRow(i_download);
    mp_ui->downloadList->sortItems(0, Qt::DescendingOrder);
}

void CompleteDownloadsForm::AddRow(ItemPtr i_download)
{
    if (!i_download || i_download.IsConnected(nodeType))
        return;
    const QString l_time = FromUtf8(i_download["complete_download_completion_time"].AsString());
    auto* lp_row =
        new CompleteDownloadItem(mp_ui->downloadList, QDateTime::fromString(l_time, Qt::TextDate));
    lp_row->setText(0, ShownText(FromUtf8(i_download["complete_download_filename"].AsString())));
    lp_row->setText(
        1, ShownText(FromUtf8(i_download["complete_download_relative_folder"].AsString())));
    lp_row->setText(2, ShownName(i_download["user"].AsString()));
    // The size and the time are the client's own, but shown from the data file as they stand.
    lp_row->setText(3, ShownText(FromUtf8(i_download["complete_download_file_size"].AsString())));
    lp_row->setText(4, ShownText(l_time));
    ItemPtr(TypeOf(nodeType)->GetItem(Value(static_cast<QTreeWidgetItem*>(lp_row)))) += i_download;
}
