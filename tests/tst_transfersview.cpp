// The Transfers page: its download and upload trees over the real transfer queue, the settings
// row, the clean-ups and the opening of finished downloads.
#include "Data.h"
#include "DownloadMenuOptions.h"
#include "GeneralFunctions.h"
#include "Log.h"
#include "SharedFoldersManager.h"
#include "SizeManager.h"
#include "StoreFunctions.h"
#include "TestPeer.h"
#include "TestSettings.h"
#include "TransferFigures.h"
#include "TransferPeer.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "TreeWidget.h"
#include "ViewHarness.h"
#include "WireReader.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMainWindow>
#include <QProgressBar>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <memory>

using namespace Qt::StringLiterals;

namespace
{
// "user(folder(file,...),...),..." as the tree shows it; user rows by name, folder rows by
// column 1, file rows by column 2.
QString Shape(QTreeWidget* ip_list)
{
    QStringList l_users;
    for (int l_user = 0; l_user < ip_list->topLevelItemCount(); ++l_user)
    {
        QTreeWidgetItem* lp_user = ip_list->topLevelItem(l_user);
        QStringList l_folders;
        for (int l_folder = 0; l_folder < lp_user->childCount(); ++l_folder)
        {
            QTreeWidgetItem* lp_folder = lp_user->child(l_folder);
            QStringList l_files;
            for (int l_file = 0; l_file < lp_folder->childCount(); ++l_file)
                l_files << lp_folder->child(l_file)->text(2);
            l_folders << lp_folder->text(1) + u'(' + l_files.join(u',') + u')';
        }
        l_users << lp_user->text(0) + u'(' + l_folders.join(u',') + u')';
    }
    return l_users.join(u',');
}

constexpr quint32 queueRequestCode = 43;
constexpr quint32 offerCode = 40;
constexpr quint32 offerAnswerCode = 41;
const QColor completeGreen(0, 100, 0);

// "user/folder/file" -> (user, remote folder, file name).
QStringList Split(const QString& i_path)
{
    return i_path.split(u'/');
}
} // namespace

class TransfersViewTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<ViewHarness> mp_harness;
    TransfersForm* mp_form = nullptr;
    std::unique_ptr<TransferPeer> mp_dave;
    QTemporaryDir m_dir;

    TransferQueueManager& Queue() { return mp_harness->Transfers(); }

    ItemPtr Add(const QString& i_path, qint64 i_size = 2097152)
    {
        const QStringList l_parts = Split(i_path);
        return Queue().AddDownload(l_parts[0].toStdString(), l_parts[2].toStdString(),
                                   l_parts[1].toStdString(), i_size, 0);
    }

    ItemPtr Entry(const QString& i_path)
    {
        const QStringList l_parts = Split(i_path);
        return Queue().GetDownloadEntry(l_parts[0].toStdString(), l_parts[2].toStdString(),
                                        l_parts[1].toStdString());
    }

    void Report(ItemPtr i_entry, qint64 i_position, int i_speed)
    {
        // The queue frees them with the entry, as it does a running transfer's.
        SetValue(i_entry, "write_position", Value(new TransferFigures::Counter(i_position)));
        SetValue(i_entry, "bytes_per_second", Value(new TransferFigures::Speed(i_speed)));
        emit Queue().DownloadProgressed(i_entry);
        ViewHarness::Flush();
    }

    QTreeWidgetItem* Row(ItemPtr i_entry) { return mp_form->DownloadRow(i_entry); }

    // An upload of a file of the share to a user, as the queue keeps one.
    ItemPtr AddUpload(const char* ip_user, const std::string& i_status, qint64 i_size = 10)
    {
        ItemPtr l_upload = d["upload_entry"]->NewItem();
        l_upload += d["user"]->GetItem(ip_user);
        ItemPtr l_shared = d["shared_file"]->NewItem();
        SetValue(l_shared, "shared_file_folder", "/share");
        SetValue(l_shared, "shared_file_name", "/share/x.bin");
        SetValue(l_shared, "shared_file_size", i_size);
        l_upload += l_shared;
        Queue().SetUploadEntryStatus(l_upload, i_status);
        return l_upload;
    }

    // The token of the next offer the client sends to the peer, 0 when none came.
    static quint32 OfferedToken(TransferPeer& i_peer)
    {
        const auto l_fields = i_peer.Take(offerCode);
        if (!l_fields)
            return 0;
        WireReader l_reader(*l_fields);
        l_reader.ReadU32();
        return l_reader.ReadU32();
    }

    // The peer offers the file and the client accepts it.
    static bool OfferAccepted(TransferPeer& i_owner, quint32 i_token, const QByteArray& i_path,
                              qint64 i_size)
    {
        i_owner.Offer(i_token, i_path, quint64(i_size));
        const auto l_answer = i_owner.Take(offerAnswerCode);
        if (!l_answer)
            return false;
        WireReader l_reader(*l_answer);
        return l_reader.ReadU32() == i_token && l_reader.ReadU8() != 0;
    }

    static QString BarText(QTreeWidgetItem* ip_row)
    {
        auto* lp_bar = qobject_cast<QProgressBar*>(ip_row->treeWidget()->itemWidget(ip_row, 4));
        return lp_bar ? lp_bar->format() + u' ' + QString::number(lp_bar->value()) : QString();
    }

    // A finished file on disk for the download, as the queue would have placed it.
    QString PlaceFinished(ItemPtr i_entry)
    {
        QString l_path = Queue().GetDownloadTargetPath(i_entry, true);
        l_path.replace(u'\\', u'/');
        QDir().mkpath(QFileInfo(l_path).path());
        QFile l_file(l_path);
        return l_file.open(QIODevice::WriteOnly) ? l_path : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        mp_harness = std::make_unique<ViewHarness>();
        TestSettings::SetSetting("download_folder", m_dir.path() + u"/downloads"_s);
        QDir().mkpath(m_dir.path() + u"/downloads"_s);
        auto* lp_window = new QMainWindow;
        mp_form = new TransfersForm(lp_window);
        lp_window->setCentralWidget(mp_form);
        mp_form->Init();
        mp_form->DataLoaded();
        // Saved downloads, shown once the queue has loaded them (the first test looks at them).
        Queue().SetDownloadEntryStatus(Add(u"bob/Music\\Rock/d.mp3"_s), "complete");
        Queue().SetDownloadEntryStatus(Add(u"bob/Music\\Rock/e.mp3"_s, 0), "complete");
        Add(u"alice/Music\\Rock/a.mp3"_s);
        Queue().SetDownloadEntryStatus(Add(u"alice/Docs/c.txt"_s), "aborted");
        Queue().SetDownloadEntryStatus(Add(u"alice/Docs/b.txt"_s), "complete");
        emit Queue().TransfersLoaded();
        mp_dave = std::make_unique<TransferPeer>(mp_harness->Peers(), "dave");
        lp_window->resize(1000, 400);
        lp_window->show();
    }

    void cleanupTestCase()
    {
        mp_dave.reset();
        mp_harness.reset();
    }

    void cleanup()
    {
        for (Item* lp_entry : d["download_entry"]->GetItems())
            Queue().RemoveDownload(lp_entry);
        for (Item* lp_entry : d["upload_entry"]->GetItems())
            Queue().RemoveUpload(lp_entry);
        ViewHarness::Flush();
        TestSettings::SetSetting("clear_complete_downloads", "no");
        TestSettings::SetSetting("clear_complete_aborted_uploads", "no");
        // No node outlives its row.
        for (const char* lp_type :
             {"download_list_user_node", "download_list_folder_node", "download_list_node",
              "upload_list_user_node", "upload_list_folder_node", "upload_list_node"})
            QCOMPARE(d[lp_type]->ItemCount(), std::size_t(0));
        QCOMPARE(mp_form->DownloadsList()->topLevelItemCount(), 0);
    }

    // Downloads saved before the page: shown in their order when the queue has loaded them, each
    // with its status and progress, their parents open and counted, totals included; a second
    // announcement adds nothing.
    void loadedAtStart()
    {
        const QString l_shape =
            u"bob(Rock/Music(d.mp3,e.mp3)),alice(Rock/Music(a.mp3),Docs(c.txt,b.txt))"_s;
        QCOMPARE(Shape(mp_form->DownloadsList()), l_shape);
        QTreeWidgetItem* lp_bob = mp_form->DownloadsList()->topLevelItem(0);
        QTreeWidgetItem* lp_alice = mp_form->DownloadsList()->topLevelItem(1);
        QVERIFY(lp_bob->isExpanded() && lp_alice->child(1)->isExpanded());
        QCOMPARE(lp_bob->child(0)->child(0)->text(3), u"complete"_s);
        // No transfer reports the progress of a download finished before: the entry shows it.
        QCOMPARE(lp_bob->child(0)->child(0)->text(4), u"2,097,152 (100.0%)"_s);
        QCOMPARE(BarText(lp_bob->child(0)->child(1)), u"0 (100.0%) 100"_s);
        QCOMPARE(lp_alice->child(0)->child(0)->text(3), u"queued"_s);
        QCOMPARE(lp_alice->child(1)->child(0)->foreground(3).color(), QColor(255, 10, 71));
        ViewHarness::Flush();
        QCOMPARE(lp_alice->child(1)->text(4), u"2,097,152 (50.0%)"_s);
        QCOMPARE(lp_bob->foreground(0).color(), completeGreen);
        QCOMPARE(lp_alice->foreground(0).color(), QColor(51, 102, 255));
        emit Queue().TransfersLoaded();
        QCOMPARE(Shape(mp_form->DownloadsList()), l_shape);
    }

    // Rows come with their entries and go with the last of them, parents included; a folder's bar
    // counts the files it keeps; each cell's tool tip is its text.
    void cascades_data()
    {
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QString>("shape");
        const QStringList l_three{u"alice/Music\\Rock/a.mp3"_s, u"alice/Music\\Rock/b.mp3"_s,
                                  u"alice/Docs/c.txt"_s, u"bob/Music\\Rock/d.mp3"_s};
        QTest::newRow("built")
            << l_three << QStringList()
            << u"alice(Rock/Music(a.mp3,b.mp3),Docs(c.txt)),bob(Rock/Music(d.mp3))"_s;
        QTest::newRow("file of two")
            << l_three << QStringList{u"alice/Music\\Rock/a.mp3"_s}
            << u"alice(Rock/Music(b.mp3),Docs(c.txt)),bob(Rock/Music(d.mp3))"_s;
        QTest::newRow("last of folder")
            << l_three << QStringList{u"alice/Docs/c.txt"_s}
            << u"alice(Rock/Music(a.mp3,b.mp3)),bob(Rock/Music(d.mp3))"_s;
        QTest::newRow("last of user") << l_three << QStringList{u"bob/Music\\Rock/d.mp3"_s}
                                      << u"alice(Rock/Music(a.mp3,b.mp3),Docs(c.txt))"_s;
        QTest::newRow("all") << l_three << l_three << QString();
        QTest::newRow("names as every view shows them")
            << QStringList{u"Zo\u00eb\u202E/x\u202A\\y/z\u202E3pm.exe"_s} << QStringList()
            << u"Zo\u00eb<U+202E>(y/x<U+202A>(z<U+202E>3pm.exe))"_s;
        QTest::newRow("names like markup")
            << QStringList{u"<b>administrator&lt;\u200Badministrator/<i>x\\&lt;y/&amp;z"_s}
            << QStringList() << u"<b>administrator&lt;<U+200B>administrator(&lt;y/<i>x(&amp;z))"_s;
        for (const QChar l_break : ViewHarness::LineBreaks())
        {
            const QString l_mark = ViewHarness::BreakMark(l_break);
            QTest::addRow("names with U+%04X", unsigned(l_break.unicode()))
                << QStringList{u"nl"_s + l_break + u"[alice]/LF dir"_s + l_break +
                               u"hidden dir/holiday.jpg"_s + l_break + u".exe"_s}
                << QStringList()
                << u"nl"_s + l_mark + u"[alice](LF dir"_s + l_mark + u"hidden dir(holiday.jpg"_s +
                       l_mark + u".exe))"_s;
        }
    }
    void cascades()
    {
        QFETCH(QStringList, added);
        QFETCH(QStringList, removed);
        QFETCH(QString, shape);
        for (const QString& l_path : added)
            QVERIFY(Add(l_path));
        // Every file half done.
        for (const QString& l_path : added)
            Report(Entry(l_path), 1048576, 0);
        for (const QString& l_path : removed)
            Queue().RemoveDownload(Entry(l_path));
        ViewHarness::Flush();
        QCOMPARE(Shape(mp_form->DownloadsList()), shape);
        for (QTreeWidgetItemIterator l_row(mp_form->DownloadsList()); *l_row; ++l_row)
            if ((*l_row)->parent() && (*l_row)->childCount() > 0)
                QCOMPARE(BarText(*l_row),
                         u"%1 (50.0%) 50"_s.arg(CommafyNumber(1048576 * (*l_row)->childCount())));
        QCOMPARE(d["download_list_node"]->ItemCount(), std::size_t(added.size() - removed.size()));
        QCOMPARE(ViewHarness::ToolTipMismatches(mp_form->DownloadsList()), QStringList());
    }

    // Each status word in its colour and text, the peer's reason for a denial lowered and on one
    // line, its direction controls marked; the place in line is cleared by any change.
    void statusColours_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QColor>("colour");
        const QString l_reason = u"File not shared."_s;
        const QColor l_red(255, 10, 71);
        QTest::newRow("complete") << u"complete"_s << l_reason << u"complete"_s
                                  << QColor(0, 100, 0);
        QTest::newRow("downloading")
            << u"downloading"_s << l_reason << u"downloading"_s << QColor(0, 0, 255);
        QTest::newRow("queued") << u"queued"_s << l_reason << u"queued"_s << QColor(51, 102, 255);
        QTest::newRow("denied") << u"denied"_s << l_reason << u"file not shared."_s << l_red;
        QTest::newRow("denied for a reason with a break")
            << u"denied"_s << u"Banned\u202E\u2029Here"_s << u"banned<U+202E><U+2029>here"_s
            << l_red;
        QTest::newRow("aborted") << u"aborted"_s << l_reason << u"aborted"_s << l_red;
        QTest::newRow("local error") << u"local error"_s << l_reason << u"local error"_s << l_red;
    }
    void statusColours()
    {
        QFETCH(QString, status);
        QFETCH(QString, reason);
        QFETCH(QString, shown);
        QFETCH(QColor, colour);
        ItemPtr l_entry = Add(u"alice/Docs/a.txt"_s);
        SetValue(l_entry, "denial_reason", reason.toStdString());
        Queue().SetDownloadEntryStatus(l_entry, status == u"aborted"_s ? "denied" : "aborted");
        SetValue(l_entry, "place_in_line", 7);
        QCOMPARE(Row(l_entry)->text(8), u"7"_s);
        Queue().SetDownloadEntryStatus(l_entry, status.toStdString());
        QTreeWidgetItem* lp_row = Row(l_entry);
        QCOMPARE(lp_row->text(3), shown);
        QCOMPARE(lp_row->text(8), QString());
        for (int l_column : {0, 2, 3, 7})
            QCOMPARE(lp_row->foreground(l_column).color(), colour);
        mp_form->DownloadsList()->collapseAll();
        ViewHarness::Flush();
        // One entry alone: its own word, except that a local error has no aggregate.
        const QString l_aggregate = status == u"local error"_s ? QString() : status;
        QCOMPARE(lp_row->parent()->text(3), l_aggregate);
        QCOMPARE(lp_row->parent()->foreground(1).color(),
                 TransfersForm::StatusColor(l_aggregate.toStdString()));
        mp_form->DownloadsList()->expandAll();
    }

    // Each upload status in its words and colour, alone under its collapsed user.
    void uploadStatuses_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QString>("aggregate");
        const QColor l_blue(0, 0, 255), l_red(255, 10, 71), l_black(Qt::black);
        QTest::newRow("queued") << u"queued"_s << u"queued"_s << QColor(51, 102, 255)
                                << u"queued"_s;
        QTest::newRow("requesting") << u"requesting"_s << u"requesting"_s << l_black << QString();
        QTest::newRow("connecting") << u"connecting"_s << u"connecting"_s << l_blue << QString();
        QTest::newRow("waiting for offset")
            << u"waiting for offset"_s << u"waiting for offset"_s << l_black << QString();
        QTest::newRow("uploading") << u"uploading"_s << u"uploading"_s << l_blue << u"uploading"_s;
        QTest::newRow("complete") << u"complete"_s << u"complete"_s << completeGreen
                                  << u"complete"_s;
        QTest::newRow("aborted") << u"aborted"_s << u"aborted"_s << l_red << u"aborted"_s;
        QTest::newRow("denied") << u"denied"_s << u"too many files"_s << l_red << u"denied"_s;
        QTest::newRow("local error") << u"local error"_s << u"local error"_s << l_red << QString();
    }
    void uploadStatuses()
    {
        QFETCH(QString, status);
        QFETCH(QString, shown);
        QFETCH(QColor, colour);
        QFETCH(QString, aggregate);
        ItemPtr l_upload = AddUpload("carol", "queued");
        SetValue(l_upload, "denial_reason", "Too many files");
        Queue().SetUploadEntryStatus(l_upload, status.toStdString());
        QTreeWidgetItem* lp_row = mp_form->UploadRow(l_upload);
        QVERIFY(lp_row);
        QCOMPARE(lp_row->text(3), shown);
        QCOMPARE(lp_row->foreground(2).color(), colour);
        mp_form->UploadsList()->collapseAll();
        ViewHarness::Flush();
        QTreeWidgetItem* lp_user = mp_form->UploadsList()->topLevelItem(0);
        QCOMPARE(lp_user->text(3), aggregate);
        QCOMPARE(lp_user->foreground(0).color(),
                 TransfersForm::StatusColor(aggregate.toStdString()));
        mp_form->UploadsList()->expandAll();
    }

    // Collapsed rows: the first rule that holds among their entries.
    void aggregates_data()
    {
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QString>("aggregate");
        QTest::newRow("running first")
            << QStringList{u"queued"_s, u"downloading"_s} << u"downloading"_s;
        QTest::newRow("queued next") << QStringList{u"complete"_s, u"queued"_s} << u"queued"_s;
        QTest::newRow("all complete") << QStringList{u"complete"_s, u"complete"_s} << u"complete"_s;
        QTest::newRow("denied") << QStringList{u"aborted"_s, u"denied"_s} << u"denied"_s;
        QTest::newRow("aborted") << QStringList{u"complete"_s, u"aborted"_s} << u"aborted"_s;
        QTest::newRow("local error") << QStringList{u"complete"_s, u"local error"_s} << QString();
    }
    void aggregates()
    {
        QFETCH(QStringList, statuses);
        QFETCH(QString, aggregate);
        for (int l_index = 0; l_index < statuses.size(); ++l_index)
            Queue().SetDownloadEntryStatus(Add(u"alice/Docs/%1.txt"_s.arg(l_index)),
                                           statuses[l_index].toStdString());
        mp_form->DownloadsList()->collapseAll();
        ViewHarness::Flush();
        QTreeWidgetItem* lp_user = mp_form->DownloadsList()->topLevelItem(0);
        QCOMPARE(lp_user->text(3), aggregate);
        QCOMPARE(lp_user->child(0)->text(3), aggregate);
        QCOMPARE(lp_user->foreground(0).color(),
                 TransfersForm::StatusColor(aggregate.toStdString()));
        mp_form->DownloadsList()->expandAll();
        QCOMPARE(lp_user->text(3), QString());
    }

    // Time left, progress and speed texts of a file row, and the totals of its collapsed user.
    void progressTexts_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("position");
        QTest::addColumn<int>("speed");
        QTest::addColumn<QString>("eta");
        QTest::addColumn<QString>("progress");
        QTest::addColumn<QString>("kbs");
        QTest::newRow("hours") << qint64(3725 * 1024) << qint64(0) << 1024 << u"   1h:2m:5s"_s
                               << u"0 (0.0%) 0"_s << u"1.0"_s;
        QTest::newRow("minutes") << qint64(2097152) << qint64(1048576) << 16000 << u"   1m:5s"_s
                                 << u"1,048,576 (50.0%) 50"_s << u"15.6"_s;
        QTest::newRow("no speed") << qint64(2097152) << qint64(1048576) << 0 << u"   0s"_s
                                  << u"1,048,576 (50.0%) 50"_s << u"0.0"_s;
        QTest::newRow("beyond the end")
            << qint64(100) << qint64(150) << 10 << u"   0s"_s << u"150 (100.0%) 100"_s << u"0.0"_s;
        QTest::newRow("empty file")
            << qint64(0) << qint64(0) << 0 << u"   0s"_s << u"0 (0.0%) 0"_s << u"0.0"_s;
    }
    void progressTexts()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, position);
        QFETCH(int, speed);
        QFETCH(QString, eta);
        QFETCH(QString, progress);
        QFETCH(QString, kbs);
        ItemPtr l_entry = Add(u"alice/Docs/a.txt"_s, size);
        Add(u"alice/Other/b.txt"_s, size);
        Queue().SetDownloadEntryStatus(l_entry, "downloading");
        Report(l_entry, position, speed);
        QTreeWidgetItem* lp_row = Row(l_entry);
        QCOMPARE(lp_row->text(5), eta);
        QCOMPARE(BarText(lp_row), progress);
        QCOMPARE(lp_row->text(6), kbs);
        // The user holds two folders: its totals are kept even while expanded.
        QVERIFY(!BarText(lp_row->parent()->parent()).isEmpty() || size == 0);
    }

    // A collapsed user or folder row shows its totals, also of transfers that no longer report
    // progress; expanded, its cell is empty.
    void totalsFollowExpansion_data()
    {
        QTest::addColumn<bool>("uploads");
        QTest::addColumn<int>("depth");
        QTest::addColumn<QString>("totals");
        QTest::newRow("download folder") << false << 1 << u"2,097,152 (50.0%)"_s;
        QTest::newRow("download user") << false << 0 << u"2,097,152 (33.3%)"_s;
        QTest::newRow("upload user") << true << 0 << u"10 (50.0%)"_s;
    }
    void totalsFollowExpansion()
    {
        QFETCH(bool, uploads);
        QFETCH(int, depth);
        QFETCH(QString, totals);
        AddUpload("bob", "complete");
        AddUpload("bob", "queued");
        Queue().SetDownloadEntryStatus(Add(u"alice/Docs/b.txt"_s), "complete");
        Queue().SetDownloadEntryStatus(Add(u"alice/Docs/c.txt"_s), "aborted");
        Add(u"alice/Music/a.mp3"_s);
        QTreeWidget* lp_list = uploads ? mp_form->UploadsList() : mp_form->DownloadsList();
        QTreeWidgetItem* lp_row = lp_list->topLevelItem(0);
        for (int l_level = 0; l_level < depth; ++l_level)
            lp_row = lp_row->child(0);
        lp_row->setExpanded(false);
        ViewHarness::Flush();
        QCOMPARE(lp_row->text(4), totals);
        lp_row->setExpanded(true);
        ViewHarness::Flush();
        QCOMPARE(lp_row->text(4), QString());
        lp_row->setExpanded(false);
        ViewHarness::Flush();
        QCOMPARE(lp_row->text(4), totals);
    }

    // Time left in hours, minutes and seconds, each unit from its first whole one.
    void timeLeftTexts_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("59 s") << qint64(59) << u"   59s"_s;
        QTest::newRow("60 s") << qint64(60) << u"   1m:0s"_s;
        QTest::newRow("3599 s") << qint64(3599) << u"   59m:59s"_s;
        QTest::newRow("3600 s") << qint64(3600) << u"   1h:0m:0s"_s;
    }
    void timeLeftTexts()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(TransfersForm::TimeLeftText(seconds), text);
    }

    // The speed, progress and size figures fit their columns in the tree's font, on the running
    // page and after a restart that brings back narrower widths saved by an earlier run.
    void figureColumnsAfterRestart_data()
    {
        QTest::addColumn<QString>("list");
        QTest::newRow("downloads") << u"download_list"_s;
        QTest::newRow("uploads") << u"upload_list"_s;
    }
    void figureColumnsAfterRestart()
    {
        QFETCH(QString, list);
        const QString l_big = u"2,500,000,000"_s;
        // A cell shows its text whole with three pixels of margin on either side.
        const auto l_sizeFits = [&](QTreeWidget* ip_list)
        { return ip_list->columnWidth(7) >= ip_list->fontMetrics().horizontalAdvance(l_big) + 6; };
        QTreeWidgetItem* lp_row = list == u"upload_list"_s
                                      ? mp_form->UploadRow(AddUpload("bob", "queued", 2500000000))
                                      : Row(Add(u"alice/Docs/big.iso"_s, 2500000000));
        QCOMPARE(lp_row->text(7), l_big);
        QVERIFY(l_sizeFits(lp_row->treeWidget()));
        QTreeWidget l_earlier;
        l_earlier.setColumnCount(9);
        sizeManager->RegisterTreeWidget(list, &l_earlier);
        l_earlier.setColumnWidth(6, 40);
        l_earlier.setColumnWidth(4, 100);
        l_earlier.setColumnWidth(7, 90);
        TransfersForm l_restarted;
        l_restarted.DataLoaded();
        QTreeWidget* lp_list =
            list == u"upload_list"_s ? l_restarted.UploadsList() : l_restarted.DownloadsList();
        const QFontMetrics l_metrics = lp_list->fontMetrics();
        QVERIFY(lp_list->columnWidth(6) > l_metrics.horizontalAdvance(u"2097152.0"_s) + 6);
        QVERIFY(lp_list->columnWidth(4) >
                l_metrics.horizontalAdvance(u"2,097,152,000 (100.0%)"_s) + 12);
        QVERIFY(l_sizeFits(lp_list));
    }

    // A file with no bytes is whole once complete.
    void emptyFileComplete()
    {
        ItemPtr l_entry = Add(u"alice/Docs/empty.txt"_s, 0);
        Queue().SetDownloadEntryStatus(l_entry, "complete");
        QCOMPARE(BarText(Row(l_entry)), u"0 (100.0%) 100"_s);
    }

    // Restoring the row from the settings writes nothing back; later changes do.
    void settingsRow()
    {
        auto* lp_slots = mp_form->findChild<QSpinBox*>(u"uploadSlotsSpinBox"_s);
        auto* lp_limit = mp_form->findChild<QSpinBox*>(u"uploadLimitSpinBox"_s);
        auto* lp_limitBox = mp_form->findChild<QCheckBox*>(u"uploadLimitCheckBox"_s);
        auto* lp_clear = mp_form->findChild<QCheckBox*>(u"clearDownloadsCheckBox"_s);
        QVERIFY(lp_slots && lp_limit && lp_limitBox && lp_clear);
        // The box is ticked, and the limit switched on, before the new limit is stored.
        QString l_limitWhenTicked;
        connect(lp_limitBox, &QCheckBox::stateChanged, this,
                [&]
                {
                    l_limitWhenTicked = QString::fromStdString(
                        TestSettings::Setting("upload_speed_limit").AsString());
                });
        lp_limit->setValue(25);
        lp_limit->setValue(0);
        lp_limit->setValue(40);
        QCOMPARE(l_limitWhenTicked, u"0"_s);
        QVERIFY(lp_limitBox->isChecked());
        QCOMPARE(TestSettings::Setting("upload_speed_limit").AsString(), "40");
        QCOMPARE(TestSettings::Setting("upload_speed_limit_enabled").AsString(), "yes");
        lp_limit->setValue(0);
        QVERIFY(!lp_limitBox->isChecked());
        QCOMPARE(TestSettings::Setting("upload_speed_limit_enabled").AsString(), "no");
        lp_slots->setValue(4);
        QCOMPARE(TestSettings::Setting("upload_slots").AsString(), "4");
        lp_clear->setChecked(true);
        QCOMPARE(TestSettings::Setting("clear_complete_downloads").AsString(), "yes");
        lp_clear->setChecked(false);
        QVERIFY(!SettingValue("clear_complete_downloads"));

        // A fresh page restores the saved values and stores nothing while doing so.
        TestSettings::SetSetting("upload_slots", 7);
        TestSettings::SetSetting("upload_speed_limit", 300);
        TestSettings::SetSetting("upload_speed_limit_enabled", "no");
        const auto l_values = []
        {
            QList<Item*> l_items;
            for (const char* lp_key :
                 {"upload_slots", "upload_speed_limit", "upload_speed_limit_enabled",
                  "clear_complete_downloads", "clear_complete_aborted_uploads"})
                l_items << SettingValue(lp_key).operator->();
            return l_items;
        };
        const QList<Item*> l_before = l_values();
        TransfersForm l_fresh;
        l_fresh.DataLoaded();
        QCOMPARE(l_values(), l_before);
        QCOMPARE(l_fresh.findChild<QSpinBox*>(u"uploadSlotsSpinBox"_s)->value(), 7);
        QCOMPARE(l_fresh.findChild<QSpinBox*>(u"uploadLimitSpinBox"_s)->value(), 300);
        QVERIFY(!l_fresh.findChild<QCheckBox*>(u"uploadLimitCheckBox"_s)->isChecked());
    }

    // Delete removes every download under the selected row.
    void deleteKey_data()
    {
        QTest::addColumn<int>("depth");
        QTest::addColumn<QString>("shape");
        QTest::newRow("file") << 2 << u"alice(Rock/Music(b.mp3),Docs(c.txt))"_s;
        QTest::newRow("folder") << 1 << u"alice(Docs(c.txt))"_s;
        QTest::newRow("user") << 0 << QString();
    }
    void deleteKey()
    {
        QFETCH(int, depth);
        QFETCH(QString, shape);
        for (const QString& l_path :
             {u"alice/Music\\Rock/a.mp3"_s, u"alice/Music\\Rock/b.mp3"_s, u"alice/Docs/c.txt"_s})
            Add(l_path);
        QTreeWidgetItem* lp_row = mp_form->DownloadsList()->topLevelItem(0);
        for (int l_level = 0; l_level < depth; ++l_level)
            lp_row = lp_row->child(0);
        mp_form->DownloadsList()->setCurrentItem(lp_row);
        QKeyEvent l_key(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        emit mp_form->DownloadsList()->KeyPressed(&l_key);
        QCOMPARE(Shape(mp_form->DownloadsList()), shape);
    }

    // "Clear Complete" takes every complete download and leaves the others as they were shown.
    void clearComplete_data()
    {
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<QString>("shape");
        QTest::newRow("some users keep downloads")
            << QStringList{u"alice/Docs/b.txt"_s, u"carol/Docs/e.txt"_s}
            << u"alice(Docs(b.txt)),carol(Docs(e.txt))"_s;
        QTest::newRow("nothing kept") << QStringList() << QString();
    }
    void clearComplete()
    {
        QFETCH(QStringList, queued);
        QFETCH(QString, shape);
        for (const QString& l_path : {u"alice/Docs/a.txt"_s, u"bob/Docs/c.txt"_s,
                                      u"bob/Music\\Rock/d.mp3"_s, u"carol/Music/f.mp3"_s})
            Queue().SetDownloadEntryStatus(Add(l_path), "complete");
        for (const QString& l_path : queued)
            Add(l_path);
        mp_form->OnActionBarTriggered("clear_complete_downloads");
        QCOMPARE(Shape(mp_form->DownloadsList()), shape);
        for (int l_user = 0; l_user < mp_form->DownloadsList()->topLevelItemCount(); ++l_user)
            QVERIFY(mp_form->DownloadsList()->topLevelItem(l_user)->isExpanded());
    }

    // "Clear Complete and Aborted" takes every finished upload and keeps the waiting and running
    // ones.
    void clearCompleteUploads()
    {
        for (const char* lp_status :
             {"queued", "uploading", "complete", "aborted", "denied", "local error"})
            AddUpload("bob", lp_status);
        mp_form->OnActionBarTriggered("clear_complete_and_aborted_uploads");
        QStringList l_shown;
        QTreeWidgetItemIterator l_row(mp_form->UploadsList());
        for (; *l_row; ++l_row)
            if ((*l_row)->childCount() == 0)
                l_shown << (*l_row)->text(3);
        QCOMPARE(l_shown, (QStringList{u"queued"_s, u"uploading"_s}));
    }

    // With the option on, a completed download goes after the event, not during it; one removed
    // before then is left alone.
    void clearCompleteQueued()
    {
        TestSettings::SetSetting("clear_complete_downloads", "yes");
        ItemPtr l_entry = Add(u"alice/Docs/a.txt"_s);
        Queue().SetDownloadEntryStatus(l_entry, "complete");
        QVERIFY(Row(l_entry));
        ViewHarness::Flush();
        QCOMPARE(d["download_entry"]->ItemCount(), std::size_t(0));

        QSignalSpy l_spy(mp_form, &TransfersForm::DownloadComplete);
        ItemPtr l_gone = Add(u"alice/Docs/b.txt"_s);
        ItemPtr l_kept = Add(u"alice/Docs/c.txt"_s);
        Queue().SetDownloadEntryStatus(l_gone, "complete");
        Queue().RemoveDownload(l_gone);
        TestSettings::SetSetting("clear_complete_downloads", "no");
        ViewHarness::Flush();
        QCOMPARE(l_spy.count(), 1);
        QVERIFY(Row(l_kept));
    }

    // Finished uploads go at the first tick more than 299999 ms after their last change; queued
    // ones never.
    void halfMinuteCleanUp_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("ageMs");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("removed");
        QTest::newRow("old complete") << u"complete"_s << 300000 << true << true;
        QTest::newRow("young complete") << u"complete"_s << 299000 << true << false;
        QTest::newRow("old queued") << u"queued"_s << 9000000 << true << false;
        QTest::newRow("old aborted, option off") << u"aborted"_s << 9000000 << false << false;
        QTest::newRow("stalled uploading") << u"uploading"_s << 400000 << true << true;
    }
    void halfMinuteCleanUp()
    {
        QFETCH(QString, status);
        QFETCH(int, ageMs);
        QFETCH(bool, enabled);
        QFETCH(bool, removed);
        TestSettings::SetSetting("clear_complete_aborted_uploads", enabled ? "yes" : "no");
        ItemPtr l_upload = AddUpload("bob", status.toStdString());
        SetValue(l_upload, "last_status_change_time",
                 mp_harness->Now().addMSecs(-ageMs).toString(Qt::TextDate));
        QCOMPARE(mp_form->UploadsList()->topLevelItemCount(), 1);
        mp_form->EveryHalfMinute();
        QCOMPARE(d["upload_entry"]->ItemCount(), std::size_t(removed ? 0 : 1));
    }

    // Only a path that really lies under the download folder is opened; names come from others.
    void openFinished_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<int>("opened");
        QTest::newRow("inside") << u"alice/Music/song.mp3"_s << 2;
        QTest::newRow("not there yet") << u"alice/Music/nothing.txt"_s << 2;
        QTest::newRow("names climbing out") << u"alice/Music/..\\..\\..\\outside.txt"_s << 2;
        QTest::newRow("linked out") << u"alice/Linked/outside.txt"_s << 0;
    }
    void openFinished()
    {
        QFETCH(QString, entry);
        QFETCH(int, opened);
        QFile l_outside(m_dir.path() + u"/outside.txt"_s);
        QVERIFY(l_outside.open(QIODevice::WriteOnly));
        l_outside.close();
        QDir().mkpath(m_dir.path() + u"/downloads/complete"_s);
        QFile::link(m_dir.path(), m_dir.path() + u"/downloads/complete/Linked"_s);
        ItemPtr l_entry = Add(entry, 10);
        QVERIFY(!PlaceFinished(l_entry).isEmpty());
        const qsizetype l_before = mp_harness->OpenedUrls().size();
        emit mp_form->DownloadsList()->itemDoubleClicked(Row(l_entry), 2);
        DownloadMenuOptions::OpenFinishedFolder(l_entry);
        const QList<QUrl> l_urls = mp_harness->OpenedUrls().mid(l_before);
        QCOMPARE(l_urls.size(), opened);
        for (const QUrl& l_url : l_urls)
            QVERIFY(QFileInfo(l_url.toLocalFile())
                        .canonicalFilePath()
                        .startsWith(QDir(m_dir.path()).canonicalPath() + u"/downloads/"_s));
    }

    // "Add user to list" from any row of a user's downloads gives that user an entry of the user
    // list of its own.
    void addUserFromDownloads_data()
    {
        QTest::addColumn<int>("depth");
        QTest::newRow("user") << 0;
        QTest::newRow("folder") << 1;
        QTest::newRow("file") << 2;
    }
    void addUserFromDownloads()
    {
        QFETCH(int, depth);
        Add(u"erin/Docs/a.txt"_s);
        Add(u"frank/Docs/b.txt"_s);
        for (int l_user : {0, 1})
        {
            QTreeWidgetItem* lp_row = mp_form->DownloadsList()->topLevelItem(l_user);
            for (int l_level = 0; l_level < depth; ++l_level)
                lp_row = lp_row->child(0);
            mp_form->DownloadsList()->setCurrentItem(lp_row);
            mp_form->OnActionBarTriggered("dl_add_user");
        }
        ItemPtr l_erin = User("erin")["in_user_list"], l_frank = User("frank")["in_user_list"];
        QVERIFY(l_erin && l_frank && l_erin != l_frank);
        for (const char* lp_name : {"erin", "frank"})
            User(lp_name).Disconnect("in_user_list");
    }

    // A download from another user on the network: queued, running with its progress, then
    // complete in green and opened from its row.
    void downloadFromPeer()
    {
        constexpr qint64 l_size = 1 << 20;
        const QByteArray l_bytes(l_size, 'x');
        mp_dave->SetOnline(true);
        mp_dave->Forget();
        ItemPtr l_entry = Queue().AddDownload("dave", "song.bin", "Music", l_size, 0);
        QVERIFY(mp_dave->Take(queueRequestCode));
        QCOMPARE(Row(l_entry)->text(3), u"queued"_s);
        QVERIFY(OfferAccepted(*mp_dave, 1, "Music\\song.bin", l_size));
        auto lp_stalled =
            mp_dave->SendFile(1, l_bytes, FileConnectionSender::Ending::Stall, 100000);
        QTRY_VERIFY_WITH_TIMEOUT(BarText(Row(l_entry)).contains(u"%) "_s), ViewHarness::timeoutMs);
        QCOMPARE(Row(l_entry)->text(3), u"downloading"_s);
        QCOMPARE(Row(l_entry)->foreground(2).color(), QColor(0, 0, 255));
        QVERIFY(!Row(l_entry)->text(6).isEmpty() && Row(l_entry)->text(5).startsWith(u"   "_s));
        // A new offer ends the stalled transfer; the rest comes in full.
        QVERIFY(OfferAccepted(*mp_dave, 2, "Music\\song.bin", l_size));
        QVERIFY(lp_stalled->Finish());
        auto lp_sender = mp_dave->SendFile(2, l_bytes);
        QTRY_COMPARE_WITH_TIMEOUT(Row(l_entry)->text(3), u"complete"_s, ViewHarness::timeoutMs);
        QVERIFY(lp_sender->Finish());
        QCOMPARE(Row(l_entry)->foreground(0).color(), completeGreen);
        QCOMPARE(BarText(Row(l_entry)), u"1,048,576 (100.0%) 100"_s);
        const qsizetype l_before = mp_harness->OpenedUrls().size();
        emit mp_form->DownloadsList()->itemDoubleClicked(Row(l_entry), 2);
        QCOMPARE(mp_harness->OpenedUrls().size(), l_before + 1);
        const QString l_opened = mp_harness->OpenedUrls().back().toLocalFile();
        QVERIFY(l_opened.endsWith(u"/song.bin"_s));
        QCOMPARE(QFileInfo(l_opened).size(), l_size);
    }

    // An upload that the other user asks for: asked, sending with its progress, then complete.
    void uploadToPeer()
    {
        constexpr qint64 l_size = 2 << 20;
        const QString l_share = m_dir.path() + u"/share"_s;
        QDir().mkpath(l_share);
        QFile l_file(l_share + u"/up.bin"_s);
        QVERIFY(l_file.open(QIODevice::WriteOnly) && l_file.resize(l_size));
        l_file.close();
        ItemPtr(d["shared_folder"]->GetItem(l_share.toStdString())) +=
            d["shared_public"]->GetGlobalNullItem();
        sharedFoldersManager->AddSharedFiles(l_share.toStdString(), l_share.toStdString());
        mp_dave->SetOnline(true);
        mp_dave->Forget();
        Queue().EnableUploadSpeedLimit(false);
        mp_dave->Queue((l_share + u"/up.bin"_s).toUtf8().replace('/', '\\'));
        const quint32 l_token = OfferedToken(*mp_dave);
        QVERIFY(l_token != 0);
        QTRY_COMPARE_WITH_TIMEOUT(mp_form->UploadsList()->topLevelItemCount(), 1,
                                  ViewHarness::timeoutMs);
        QTreeWidgetItem* lp_row = mp_form->UploadsList()->topLevelItem(0)->child(0)->child(0);
        QCOMPARE(lp_row->text(2), u"up.bin"_s);
        QCOMPARE(lp_row->text(3), u"requesting"_s);
        mp_dave->Accept(l_token);
        quint32 l_connectionToken = 0;
        const int l_connection = mp_dave->TakeFileConnection(l_connectionToken, 0);
        QVERIFY(l_connection >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(lp_row->text(3), u"uploading"_s, ViewHarness::timeoutMs);
        QCOMPARE(lp_row->foreground(2).color(), QColor(0, 0, 255));
        QVERIFY(mp_dave->Peer().WaitForRawBytes(l_connection, 4 + l_size, ViewHarness::timeoutMs));
        QTRY_COMPARE_WITH_TIMEOUT(BarText(lp_row), u"2,097,152 (100.0%) 100"_s,
                                  ViewHarness::timeoutMs);
        mp_dave->Peer().Close(l_connection);
        QTRY_COMPARE_WITH_TIMEOUT(lp_row->text(3), u"complete"_s, ViewHarness::timeoutMs);
        QCOMPARE(lp_row->foreground(0).color(), completeGreen);
    }

    void snapshot()
    {
        Add(u"alice/Music\\Rock/a.mp3"_s);
        ItemPtr l_running = Add(u"alice/Music\\Rock/b.mp3"_s);
        Queue().SetDownloadEntryStatus(Add(u"bob/Docs/c.txt"_s), "complete");
        Queue().SetDownloadEntryStatus(l_running, "downloading");
        Report(l_running, 1048576, 40000);
        QVERIFY(!ViewHarness::Snapshot(mp_form, u"transfers"_s).isEmpty());
    }
};

VIEW_TEST_MAIN(TransfersViewTest)
#include "tst_transfersview.moc"
