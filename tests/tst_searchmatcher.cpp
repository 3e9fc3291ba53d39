// Which own files answer a search when its "-word"s and "*part"s are matched once per distinct
// name rather than once per file: a name that files of two folders share, a file without a name
// (as a damaged data file leaves one) and a folder that no shared folder holds must answer as the
// walk over the files answers.
#include "Data.h"
#include "SharedFoldersManager.h"
#include "SharingFixture.h"
#include "StoreFunctions.h"
#include "TestPeerMessages.h"

#include <QtTest>

#include <memory>

class TestSearchMatcher : public QObject
{
    Q_OBJECT

    std::unique_ptr<SharingFixture> mp_fixture;

    void AddFile(const char* ip_folder, const char* ip_name)
    {
        ItemPtr l_folder = d.GetType("shared_file_folder")->GetItem(ip_folder);
        ItemPtr l_file = l_folder.NewItem("shared_file");
        if (ip_name)
            l_file += d.GetType("shared_file_name")->GetItem(ip_name);
        l_file += d.GetType("shared_file_size")->GetItem("1");
        mp_fixture->Manager().TokenizeSharedFile(l_file);
    }

private slots:
    // Four names for seven files: "Live One.mp3" in both folders of /s and in a folder that no
    // shared folder holds, and one file without a name.
    void initTestCase()
    {
        mp_fixture = std::make_unique<SharingFixture>();
        SetSetting("username", "me");
        ItemPtr l_share = d.GetType("shared_folder")->GetItem("/s");
        l_share += d.GetType("shared_public")->GetGlobalNullItem();
        for (const char* lp_folder : {"/s/a", "/s/b"})
            l_share += d.GetType("shared_file_folder")->GetItem(lp_folder);
        for (const char* lp_name : {"Live One.mp3", "two.mp3", "three.txt"})
            AddFile("/s/a", lp_name);
        for (const char* lp_name : {"Live One.mp3", "four.mp3", static_cast<const char*>(nullptr)})
            AddFile("/s/b", lp_name);
        AddFile("/gone", "Live One.mp3");
    }

    // Rows with a "*part" read the names; with "-word"s only, the nameless file may match, and
    // the files are read. An empty answer is no reply.
    void answers_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("answer");
        const auto l_row = [](const char* ip_name, const char* ip_text, const char* ip_answer)
        { QTest::newRow(ip_name) << QByteArray(ip_text) << QString::fromUtf8(ip_answer); };
        l_row("part", "s *mp3", "s/a/Live One.mp3, s/a/two.mp3, s/b/Live One.mp3, s/b/four.mp3");
        l_row("shared name, other folder not walked", "a *e", "s/a/Live One.mp3, s/a/three.txt");
        l_row("shared name, folder of no shared folder", "mp3 *\"e O\"",
              "s/a/Live One.mp3, s/b/Live One.mp3");
        l_row("one-byte words", "s *. -o -w", "s/a/Live One.mp3, s/a/three.txt, s/b/Live One.mp3");
        l_row("nothing left", "s *. -e -o", "");
        l_row("nameless file kept", "s -Live", "s/a/three.txt, s/a/two.mp3, s/b/, s/b/four.mp3");
        l_row("letter case", "s -live -z",
              "s/a/Live One.mp3, s/a/three.txt, s/a/two.mp3, s/b/, s/b/Live One.mp3, "
              "s/b/four.mp3");
        l_row("nameless file alone", "s -e -o", "s/b/");
    }

    void answers()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, answer);
        const std::optional<MemStream> l_reply =
            mp_fixture->Manager().BuildSearchReply("bob", 7, text.toStdString());
        QCOMPARE(l_reply.has_value(), !answer.isEmpty());
        if (!l_reply)
            return;
        const QByteArray l_body(l_reply->GetReadBuffer(), l_reply->GetPendingReadLength());
        const std::optional<TestPeerMessages::SearchReply> l_read =
            TestPeerMessages::ReadSearchReplyContent(
                TestPeerMessages::CompressedContent(9, l_body).value_or(QByteArray()));
        QVERIFY(l_read);
        QStringList l_paths;
        for (const TestPeerMessages::File& l_file : l_read->files)
            l_paths << QString::fromUtf8(l_file.name.mid(1))
                           .replace(QLatin1Char('\\'), QLatin1Char('/'));
        QCOMPARE(l_paths.join(QStringLiteral(", ")), answer);
    }
};

QTEST_GUILESS_MAIN(TestSearchMatcher)
#include "tst_searchmatcher.moc"
