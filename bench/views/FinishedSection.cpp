// Speed of the finished-downloads list, section `finished` of the views benchmark: the list
// opened over 1,000 and over 10,000 stored records of finished downloads (from 100 users, their
// completion times in no order), as at the first opening after a long history. Printed: the cost
// per record at 1,000 and at 10,000 (it should not grow with the list). Times are the GUI
// thread's processor time, the best of three rounds.

#include "CompleteDownloadsForm.h"
#include "Data.h"
#include "StoreFunctions.h"
#include "Type.h"
#include "ViewHarness.h"
#include "ViewsBench.h"

#include <QApplication>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace
{
constexpr int FinishedRounds = 3;

void MakeRecords(int i_records)
{
    const QDateTime l_start = ViewHarness::StartTime();
    for (int l_index = 0; l_index < i_records; ++l_index)
    {
        ItemPtr l_record = TypeOf("complete_download")->NewItem();
        l_record += User("user" + std::to_string(l_index % 100));
        SetValue(l_record, "complete_download_filename",
                 "track " + std::to_string(l_index) + ".mp3");
        SetValue(l_record, "complete_download_relative_folder",
                 "album " + std::to_string(l_index % 1000));
        SetValue(l_record, "complete_download_file_size", std::to_string(1000000 + l_index));
        // Times scattered over about four months, in no order of the records.
        const qint64 l_seconds = qint64(l_index) * 7919 % 10000019;
        SetValue(l_record, "complete_download_completion_time",
                 l_start.addSecs(l_seconds).toString(Qt::TextDate).toStdString());
    }
}

double OpenList(int i_records)
{
    double l_best = 1e30;
    for (int l_round = 0; l_round < FinishedRounds; ++l_round)
    {
        MakeRecords(i_records);
        std::unique_ptr<CompleteDownloadsForm> lp_form;
        const double l_whole = ThreadMilliseconds(
            [&]
            {
                lp_form = std::make_unique<CompleteDownloadsForm>();
                lp_form->Init();
                QCoreApplication::processEvents();
            });
        const int l_rows = lp_form->findChild<QTreeWidget*>()->topLevelItemCount();
        if (l_rows != i_records)
            std::printf("finished: %d rows for %d records\n", l_rows, i_records);
        lp_form.reset();
        d["complete_download"]->RemoveAllItems();
        l_best = std::min(l_best, l_whole);
    }
    return l_best;
}
} // namespace

int RunFinishedSection()
{
    ViewHarness l_harness;
    const double l_small = OpenList(1000);
    const double l_large = OpenList(10000);
    const double l_perSmall = l_small * 1000.0 / 1000;
    const double l_perLarge = l_large * 1000.0 / 10000;
    std::printf("finished: list opened over 1,000 records: %.1f ms, %.2f us per record\n", l_small,
                l_perSmall);
    std::printf("finished: list opened over 10,000 records: %.1f ms, %.2f us per record\n", l_large,
                l_perLarge);
    PrintAim("finished cost per record at 10,000 against 1,000", l_perLarge / l_perSmall, "x", 1.5);
    return 0;
}
