// Other users' searches as they reach the client from its distributed parent, and the answers
// that the searcher's test peer receives, decoded with the tests' own readers: which files match,
// the limit on the answer, the order of the records and the fields after them.
#include "Data.h"
#include "PeerHarness.h"
#include "SharedFoldersManager.h"
#include "SharingFixture.h"
#include "StoreFunctions.h"
#include "TestPeer.h"
#include "TestPeerMessages.h"
#include "TestSettings.h"
#include "TransferQueueManager.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

namespace
{
constexpr int timeoutMs = 30000;
using Messages = TestPeerMessages;
constexpr int bulkFiles = 201;

// The text with that many "-word"s that no name holds.
QByteArray WithExcludedWords(const char* ip_text, int i_count)
{
    QByteArray l_text(ip_text);
    for (int l_word = 0; l_word < i_count; ++l_word)
        l_text += " -qq" + QByteArray::number(l_word);
    return l_text;
}
} // namespace

class TestSearchAnswers : public QObject
{
    Q_OBJECT

    QTemporaryDir m_disk;
    std::unique_ptr<PeerHarness> mp_harness;
    std::unique_ptr<TransferQueueManager> mp_transfers;
    TestPeer m_bob;
    TestPeer m_parents;
    int m_bobConnection = 0;
    int m_parent = 0;
    quint32 m_token = 100;

    QByteArray Local(const QByteArray& i_path) const
    {
        return m_disk.filePath(QString::fromUtf8(i_path)).toUtf8();
    }

    // Every search reply bob received, decoded; one that cannot be read has the token 0, and one
    // whose stream is not what compress2 makes at level 9 of its content has no user name.
    QList<Messages::SearchReply> Replies() const
    {
        QList<Messages::SearchReply> l_replies;
        for (const TestPeer::Frame& l_frame : m_bob.Frames(m_bobConnection))
        {
            if (l_frame.code != 9)
                continue;
            const QByteArray l_content =
                Messages::CompressedContent(9, l_frame.body).value_or(QByteArray());
            Messages::SearchReply l_reply =
                Messages::ReadSearchReplyContent(l_content).value_or(Messages::SearchReply());
            if (Messages::FileSearchResult(l_content) != l_frame.body)
                l_reply.user.clear();
            l_replies.append(l_reply);
        }
        return l_replies;
    }

    // Sends the user's search from the parent, then one of bob's that is always answered: the
    // replies that came before the latter's are those to the search.
    QList<Messages::SearchReply> Search(const QByteArray& i_text, quint32& o_token,
                                        const QByteArray& i_user = "bob")
    {
        o_token = ++m_token;
        const quint32 l_marker = ++m_token;
        const qsizetype l_before = Replies().size();
        m_parents.SendDistributed(m_parent, Messages::DistributedSearch(i_user, o_token, i_text));
        m_parents.SendDistributed(m_parent,
                                  Messages::DistributedSearch("bob", l_marker, "zzmarker"));
        if (!QTest::qWaitFor([&]
                             { return !Replies().isEmpty() && Replies().last().token == l_marker; },
                             timeoutMs))
            return {};
        return Replies().mid(l_before, Replies().size() - l_before - 1);
    }

    // The files of each reply below the test's disk, with "/" and without "pub/", those of the
    // folders bulk only counted; "|" between replies, "?" for a reply to another search or one not
    // as it should be.
    QString Answer(const QByteArray& i_text)
    {
        quint32 l_token = 0;
        QStringList l_answers;
        for (const Messages::SearchReply& l_reply : Search(i_text, l_token))
        {
            QStringList l_files;
            int l_bulk = 0;
            for (const Messages::File& l_file : l_reply.files)
            {
                const QString l_name = QString::fromUtf8(l_file.name.mid(m_disk.path().size() + 1))
                                           .replace(QLatin1Char('\\'), QLatin1Char('/'));
                if (l_name.contains(u"bulk/bulk "_s))
                    ++l_bulk;
                else
                    l_files << (l_name.startsWith(u"pub/"_s) ? l_name.mid(4) : l_name);
            }
            if (l_bulk > 0)
                l_files << u"%1 bulk"_s.arg(l_bulk);
            l_answers << (l_reply.token == l_token && l_reply.user == "me" ? l_files.join(u", "_s)
                                                                           : u"?"_s);
        }
        return l_answers.join(u" | "_s);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_disk.isValid());
        QList<QByteArray> l_files = {
            "pub/Beatles/Help.Mp3", "pub/Beatles/help live.flac", "pub/Beatles/Help Live.ogg",
            "pub/mix/help.txt",     "pub/mix/help remix.txt",     "pub/order/a.txt",
            "pub/order/B.txt",      "pub/marker/zzmarker.txt",    "hidden/help secret.txt"};
        for (int l_file = 0; l_file < bulkFiles; ++l_file)
            l_files << "pub/bulk/bulk " + QByteArray::number(l_file).rightJustified(3, '0') +
                           ".dat";
        for (int l_file = 0; l_file < 5; ++l_file)
            l_files << "hidden/bulk/bulk h" + QByteArray::number(l_file) + ".dat";
        for (const QByteArray& l_file : l_files)
            QVERIFY(SharingFixture::WriteFile(QString::fromUtf8(Local(l_file)), "xy"));

        mp_harness = std::make_unique<PeerHarness>(PeerHarness::Services::WholeClient);
        mp_transfers = std::make_unique<TransferQueueManager>();
        sharedFoldersManager->SetUploadStateProvider(&TransferQueueManager::CurrentUploadState);
        for (const char* lp_folder : {"pub", "hidden"})
            sharedFoldersManager->AddSharedFiles(Local(lp_folder).toStdString(),
                                                 Local(lp_folder).toStdString());
        ItemPtr(d.GetType("shared_folder")->GetItem(Local("pub").toStdString())) +=
            d.GetType("shared_public")->GetGlobalNullItem();
        // A folder that no shared folder holds any more: nobody sees its file.
        ItemPtr l_orphan = d.GetType("shared_file_folder")->GetItem(Local("gone").toStdString());
        ItemPtr l_lost = l_orphan.NewItem("shared_file");
        l_lost += d.GetType("shared_file_name")->GetItem("help lost.txt");
        l_lost += d.GetType("shared_file_size")->GetItem("2");
        sharedFoldersManager->TokenizeSharedFile(l_lost);
        ItemPtr l_song =
            sharedFoldersManager->GetSharedFileItem(Local("pub/Beatles/Help.Mp3").toStdString());
        SetValue(l_song, "bitrate", 192);
        SetValue(l_song, "bitrate_mode", "vbr");

        QVERIFY(m_bob.Listen());
        m_bobConnection = mp_harness->DialIn(m_bob, "bob", "P", false);
        QVERIFY(PeerHarness::SocketOf("peer_socket", "bob"));

        // The server proposes the test parent; its first search makes it the parent.
        QVERIFY(m_parents.Listen());
        m_parent = mp_harness->ProposeParent(m_parents);
        QVERIFY(m_parent >= 0);
        QTRY_COMPARE_WITH_TIMEOUT(d.GetType("dnet_parent_candidate")->ItemCount(), std::size_t(1),
                                  timeoutMs);
    }

    void cleanupTestCase()
    {
        mp_transfers.reset();
        mp_harness.reset();
    }

    // Matching itself is checked against a slow reference by a fuzz target; these rows keep the
    // limits and the access. With everyFolder, bob is on the user list and so sees every shared
    // folder (the files of one word are then counted without reading each), but never those of a
    // folder that no shared folder holds. Files of the folder bulk are counted, not named; they
    // are about as many as the index's names, so "-word"s are matched once per name, not per file.
    void matchingFiles_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("everyFolder");
        QTest::addColumn<QString>("answer");
        const auto l_row = [](const char* ip_name, const QByteArray& i_text, bool i_everyFolder,
                              const QString& i_answer)
        { QTest::newRow(ip_name) << i_text << i_everyFolder << i_answer; };
        const QString l_help = u"Beatles/Help Live.ogg, Beatles/Help.Mp3, Beatles/help live.flac, "
                               "mix/help remix.txt, mix/help.txt"_s;
        l_row("upper-case B before lower-case a", "order", false, u"order/B.txt, order/a.txt"_s);
        l_row("hidden folder", "help secret", false, QString());
        l_row("exactly 200", "bulk -200", false, u"200 bulk"_s);
        l_row("201", "bulk", false, QString());
        l_row("32 words within names", WithExcludedWords("help", 32), false, l_help);
        l_row("33 words within names", WithExcludedWords("help", 33), false, QString());
        l_row("every folder, one word", "help", true, u"hidden/help secret.txt, "_s + l_help);
        l_row("every folder, 201 and 5", "bulk", true, QString());
        l_row("every folder, 200 and 5", "bulk -200", true, QString());
        l_row("every folder, 189 and 5", "bulk -19", true, u"194 bulk"_s);
        // The files of "bulk" outnumber the index's words, so a part narrows them through the
        // words that contain it; the names decide, bytes compared exactly.
        l_row("part within words", "bulk *19", false, u"12 bulk"_s);
        l_row("part within words, letter case of the name", "bulk *1.DAT", false, QString());
        l_row("part within words, hidden folder", "bulk *h", true, u"5 bulk"_s);
        l_row("part over a space", "bulk *\"k 19\"", false, u"10 bulk"_s);
    }

    void matchingFiles()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, everyFolder);
        QFETCH(QString, answer);
        ItemPtr l_hidden = d.GetType("shared_folder")->GetItem(Local("hidden").toStdString());
        ItemPtr l_bob = d.GetType("user")->GetItem("bob");
        l_hidden.Disconnect("shared_userlist");
        if (ItemPtr l_entry = l_bob["in_user_list"])
            l_entry.Remove();
        if (everyFolder)
        {
            l_hidden += d.GetType("shared_userlist")->GetGlobalNullItem();
            l_bob.NewItem("in_user_list");
        }
        QCOMPARE(Answer(text), answer);
    }

    // The refusal names the user as sent: no "%" in a name takes a number meant for the line.
    void refusalIsLogged_data()
    {
        QTest::addColumn<QByteArray>("user");
        QTest::newRow("bob%2") << QByteArray("bob%2");
    }
    void refusalIsLogged()
    {
        QFETCH(QByteArray, user);
        const QString l_line = u"Search from user "_s + QString::fromUtf8(user) +
                               u" refused: 40 words to match within names, more than 32"_s;
        const qsizetype l_before = mp_harness->LogLines(u"Search"_s).filter(l_line).size();
        quint32 l_token = 0;
        QVERIFY(Search(WithExcludedWords("help", 40), l_token, user).isEmpty());
        QCOMPARE(mp_harness->LogLines(u"Search"_s).filter(l_line).size(), l_before + 1);
    }

    // The fields after the records, with no free slot and one upload queued.
    void replyFields()
    {
        TestSettings::SetSetting("upload_slots", 0);
        TestSettings::SetSetting("upload_speed", 4321);
        m_bob.SendBody(m_bobConnection,
                       Messages::QueueUpload(Local("pub/order/a.txt").replace('/', '\\')));
        QTRY_COMPARE_WITH_TIMEOUT(mp_transfers->QueuedUploadCount(), 1, timeoutMs);

        quint32 l_token = 0;
        const QList<Messages::SearchReply> l_replies = Search("beatles help.mp3", l_token);
        QCOMPARE(l_replies.size(), 1);
        const Messages::SearchReply& l_reply = l_replies.front();
        QCOMPARE(l_reply.token, l_token);
        QCOMPARE(l_reply.files.size(), 1);
        const Messages::File& l_file = l_reply.files.front();
        QCOMPARE(l_file.name, Local("pub/Beatles/Help.Mp3").replace('/', '\\'));
        QCOMPARE(l_file.size, quint64(2));
        QCOMPARE(l_file.extension, QByteArray("mp3"));
        QCOMPARE(l_file.attributes, (QList<Messages::Attribute>{Messages::Attribute(0, 192),
                                                                Messages::Attribute(2, 1)}));
        QCOMPARE(l_reply.freeSlot, quint8(0));
        QCOMPARE(l_reply.speed, quint32(4321));
        QCOMPARE(l_reply.queueLength, quint32(1));
        QCOMPARE(l_reply.tableCount, quint32(0));
    }
};

QTEST_GUILESS_MAIN(TestSearchAnswers)
#include "tst_searchanswers.moc"
