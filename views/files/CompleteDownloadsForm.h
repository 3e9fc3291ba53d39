#pragma once

#include "DataLoadedEventHandler.h"
#include "ItemPtr.h"

#include <QWidget>

#include <memory>

class Ui_CompleteDownloadsForm;

// The list of finished downloads, newest first: one row per stored record, those of earlier runs
// included. Rows are only added.
class CompleteDownloadsForm : public QWidget, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit CompleteDownloadsForm(QWidget* ip_parent = nullptr);
    ~CompleteDownloadsForm() override;

    void Init();
    void DataLoaded() override;

public slots:
    void OnCompleteDownloadAdded(ItemPtr i_download);

private:
    // The row of the record, unsorted; nothing when the record already has one.
    void AddRow(ItemPtr i_download);

    std::unique_ptr<Ui_CompleteDownloadsForm> mp_ui;
    bool m_registered = false;
};

extern CompleteDownloadsForm* completeDownloadsForm;
