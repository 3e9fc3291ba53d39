#pragma once

#include <QDateTime>
#include <QTreeWidgetItem>

// One row of the finished-downloads list. Its completion time is read once, when the row is
// made, so that sorting compares times without reading the store or parsing text again.
class CompleteDownloadItem : public QTreeWidgetItem
{
public:
    CompleteDownloadItem(QTreeWidget* ip_list, const QDateTime& i_completionTime);

    // Earlier completion first, whatever the column; a time that could not be read is the
    // earliest of all.
    bool operator<(const QTreeWidgetItem& i_other) const override;

private:
    QDateTime m_completionTime;
};
