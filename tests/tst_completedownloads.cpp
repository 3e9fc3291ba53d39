#include "CompleteDownloadsForm.h"
#include "Data.h"
#include "StoreFunctions.h"
#include "TransferQueueManager.h"
#include "Type.h"
#include "ViewHarness.h"

#include <QTreeWidget>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace
{
// Times as the store holds them, minutes after a fixed start; "bad" for a text that is no time.
std::string TimeText(const QString& i_minutes)
{
    if (i_minutes == u"bad"_s)
        return "yesterday, I think";
    return ViewHarness::StartTime()
        .addSecs(i_minutes.toInt() * 60)
        .toString(Qt::TextDate)
        .toStdString();
}

ItemPtr Record(const QString& i_name, const QString& i_minutes)
{
    ItemPtr l_record = TypeOf("complete_download")->NewItem();
    l_record += User("b\xc3\xa9"
                     "b");
    SetValue(l_record, "complete_download_filename", i_name.toUtf8().toStdString());
    SetValue(l_record, "complete_download_relative_folder", "album");
    SetValue(l_record, "complete_download_file_size", "1048576");
    SetValue(l_record, "complete_download_completion_time", TimeText(i_minutes));
    return l_record;
}

// The list's rows as "name" in order.
QString Names(QTreeWidget* ip_list)
{
    QStringList l_names;
    for (int l_row = 0; l_row < ip_list->topLevelItemCount(); ++l_row)
        l_names.append(ip_list->topLevelItem(l_row)->text(0));
    return l_names.join(u'|');
}
} // namespace

class TestCompleteDownloads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { mp_harness = std::make_unique<ViewHarness>(); }
    void cleanupTestCase() { mp_harness.reset(); }
    void init() { mp_harness->Reset(); }

    // Stored records are listed newest first, one that finishes later goes by its time, an
    // unreadable time goes last, and equal times keep the order their rows came in.
    void newestFirst_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("added");
        QTest::addColumn<QString>("order");
        QTest::newRow("stored only") << u"a@1|b@30|c@bad|d@-5"_s << QString() << u"b|a|d|c"_s;
        QTest::newRow("one finishes later") << u"a@1|b@30"_s << u"n@31"_s << u"n|b|a"_s;
        QTest::newRow("one with an older time") << u"a@1|b@30"_s << u"o@5"_s << u"b|o|a"_s;
        QTest::newRow("unreadable added") << u"a@bad|b@30"_s << u"x@bad"_s << u"b|a|x"_s;
        QTest::newRow("equal times") << u"a@7"_s << u"b@7|c@7"_s << u"a|b|c"_s;
        QTest::newRow("nothing stored") << QString() << u"a@1|b@2"_s << u"b|a"_s;
        QTest::newRow("direction controls shown as marks")
            << u"x\u202Ey@1"_s << u"z\u2066@2"_s << u"z<U+2066>|x<U+202E>y"_s;
    }
    void newestFirst()
    {
        QFETCH(QString, stored);
        QFETCH(QString, added);
        QFETCH(QString, order);
        for (const QString& l_record : stored.split(u'|', Qt::SkipEmptyParts))
            Record(l_record.section(u'@', 0, 0), l_record.section(u'@', 1));
        CompleteDownloadsForm l_form;
        QCOMPARE(completeDownloadsForm, &l_form);
        l_form.Init();
        for (const QString& l_record : added.split(u'|', Qt::SkipEmptyParts))
            emit mp_harness->Transfers().CompleteDownloadAdded(
                Record(l_record.section(u'@', 0, 0), l_record.section(u'@', 1)));
        auto* lp_list = l_form.findChild<QTreeWidget*>(u"downloadList"_s);
        QCOMPARE(Names(lp_list), order);
        // Loading again lists nothing twice.
        l_form.DataLoaded();
        QCOMPARE(Names(lp_list), order);
    }

    // A row shows the record as stored: names as sent, the size as bare digits; each cell's tool
    // tip is its text.
    void rowShowsTheRecord()
    {
        Record(u"<b>ü</b> &lt; co.mp3"_s, u"3"_s);
        {
            CompleteDownloadsForm l_form;
            l_form.Init();
            auto* lp_list = l_form.findChild<QTreeWidget*>(u"downloadList"_s);
            QCOMPARE(lp_list->topLevelItemCount(), 1);
            QTreeWidgetItem* lp_row = lp_list->topLevelItem(0);
            const QStringList l_texts{lp_row->text(0), lp_row->text(1), lp_row->text(2),
                                      lp_row->text(3), lp_row->text(4)};
            QCOMPARE(l_texts,
                     (QStringList{u"<b>ü</b> &lt; co.mp3"_s, u"album"_s, u"béb"_s, u"1048576"_s,
                                  QString::fromStdString(TimeText(u"3"_s))}));
            QCOMPARE(ViewHarness::ToolTipMismatches(lp_list), QStringList());
        }
        QCOMPARE(completeDownloadsForm, nullptr);
        QCOMPARE(g("complete_download_node").size(), std::size_t(0));
    }

private:
    std::unique_ptr<ViewHarness> mp_harness;
};

VIEW_TEST_MAIN(TestCompleteDownloads)
#include "tst_completedownloads.moc"
