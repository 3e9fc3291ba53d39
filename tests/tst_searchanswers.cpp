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
#include "WireWriter.h"

#include <QHostAddress>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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

    // Sends bob's search from the parent, then one that is always answered: the replies that
    // came before the latter's are those to the search.
    QList<Messages::SearchReply> Search(const QByteArray& i_text, quint32& o_token)
    {
        o_token = ++m_token;
        const quint32 l_marker = ++m_token;
        const qsizetype l_before = Replies().size();
        m_parents.SendDistributed(m_parent, Messages::DistributedSearch("bob", o_token, i_text));
        m_parents.SendDistributed(m_parent,
                                  Messages::DistributedSearch("bob", l_marker, "zzmarker"));
        if (!QTest::qWaitFor([&]
                             { return !Replies().isEmpty() && Replies().last().token == l_marker; },
                             timeoutMs))
            return {};
        return Replies().mid(l_before, Replies().size() - l_before - 1);
    }

    // The files of each reply, paths below the test's disk, "|" between replies; "?" for a reply
    // to another search or one not as it should be.
    QString Answer(const QByteArray& i_text)
    {
        quint32 l_token = 0;
        QStringList l_answers;
        for (const Messages::SearchReply& l_reply : Search(i_text, l_token))
        {
            QStringList l_files;
            for (const Messages::File& l_file : l_reply.files)
                l_files << QString::fromUtf8(l_file.name.mid(m_disk.path().size() + 1));
            l_answers << (l_reply.token == l_token && l_reply.user == "me"
                              ? l_files.join(QStringLiteral(", "))
                              : QStringLiteral("?"));
        }
        return l_answers.join(QStringLiteral(" | "));
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
        QVERIFY(
            mp_harness->Deliver(mp_harness->CentralConnection(), 102,
                                WireWriter()
                                    .WriteI32(1)
                                    .WriteString("pa")
                                    .WriteU32(QHostAddress(QHostAddress::LocalHost).toIPv4Address())
                                    .WriteI32(m_parents.PlainPort())
                                    .Bytes()));
        m_parent = m_parents.NextIncoming(timeoutMs);
        QVERIFY(m_parent >= 0);
        QVERIFY(m_parents.WaitForFirstMessage(m_parent, timeoutMs));
        QTRY_COMPARE_WITH_TIMEOUT(d.GetType("dnet_parent_candidate")->ItemCount(), std::size_t(1),
                                  timeoutMs);
    }

    void cleanupTestCase()
    {
        mp_transfers.reset();
        mp_harness.reset();
    }

    // With everyFolder, bob may see the folders of the user list too, and so every shared
    // folder: the files of one word are then counted without reading each, but never those of a
    // folder that no shared folder holds. Files of the folder bulk are counted, not named.
    void matchingFiles_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("everyFolder");
        QTest::addColumn<QString>("answer");
        const QString l_help =
            QStringLiteral("pub\\Beatles\\Help Live.ogg, pub\\Beatles\\Help.Mp3, "
                           "pub\\Beatles\\help live.flac, pub\\mix\\help remix.txt, "
                           "pub\\mix\\help.txt");
        QTest::newRow("every word") << QByteArray("beatles help") << false
                                    << QStringLiteral("pub\\Beatles\\Help Live.ogg, "
                                                      "pub\\Beatles\\Help.Mp3, "
                                                      "pub\\Beatles\\help live.flac");
        QTest::newRow("excluded in lower case")
            << QByteArray("beatles -live") << false
            << QStringLiteral("pub\\Beatles\\Help Live.ogg, pub\\Beatles\\Help.Mp3");
        QTest::newRow("excluded by bytes") << QByteArray("help -help") << false
                                           << QStringLiteral("pub\\Beatles\\Help Live.ogg, "
                                                             "pub\\Beatles\\Help.Mp3");
        QTest::newRow("part in the name, not the folder")
            << QByteArray("help *mix") << false << QStringLiteral("pub\\mix\\help remix.txt");
        QTest::newRow("a word that every file holds")
            << QByteArray("searchanswers order") << false
            << QStringLiteral("pub\\order\\B.txt, pub\\order\\a.txt");
        QTest::newRow("a word as common")
            << QByteArray("help txt") << false
            << QStringLiteral("pub\\mix\\help remix.txt, pub\\mix\\help.txt");
        QTest::newRow("a far more common word")
            << QByteArray("bulk 100") << false << QStringLiteral("1 bulk");
        QTest::newRow("token of a whole component")
            << QByteArray("help.mp3") << false << QStringLiteral("pub\\Beatles\\Help.Mp3");
        QTest::newRow("upper-case B before lower-case a")
            << QByteArray("order") << false
            << QStringLiteral("pub\\order\\B.txt, pub\\order\\a.txt");
        QTest::newRow("parts only") << QByteArray("*mix") << false << QString();
        QTest::newRow("upper-case word") << QByteArray("HELP") << false << QString();
        QTest::newRow("a word nothing holds")
            << QByteArray("beatles nowhere") << false << QString();
        QTest::newRow("hidden folder") << QByteArray("help secret") << false << QString();
        QTest::newRow("exactly 200")
            << QByteArray("bulk -200") << false << QStringLiteral("200 bulk");
        QTest::newRow("201") << QByteArray("bulk") << false << QString();
        QTest::newRow("32 words within names") << WithExcludedWords("help", 32) << false << l_help;
        QTest::newRow("33 words within names")
            << WithExcludedWords("help", 33) << false << QString();
        QTest::newRow("nothing to include") << QByteArray(" - \t") << false << QString();
        QTest::newRow("empty quotes") << QByteArray("help \"\"") << false << QString();
        QTest::newRow("open quote") << QByteArray("\"help") << false << l_help;
        QTest::newRow("every folder, one word")
            << QByteArray("help") << true << QStringLiteral("hidden\\help secret.txt, ") + l_help;
        QTest::newRow("every folder, two words")
            << QByteArray("help secret") << true << QStringLiteral("hidden\\help secret.txt");
        QTest::newRow("every folder, 201 and 5") << QByteArray("bulk") << true << QString();
        QTest::newRow("every folder, 200 and 5") << QByteArray("bulk -200") << true << QString();
        QTest::newRow("every folder, 189 and 5")
            << QByteArray("bulk -19") << true << QStringLiteral("194 bulk");
    }

    void matchingFiles()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, everyFolder);
        QFETCH(QString, answer);
        ItemPtr l_hidden = d.GetType("shared_folder")->GetItem(Local("hidden").toStdString());
        ItemPtr l_entry;
        if (everyFolder)
        {
            l_hidden += d.GetType("shared_userlist")->GetGlobalNullItem();
            l_entry = ItemPtr(d.GetType("user")->GetItem("bob")).NewItem("in_user_list");
        }
        const auto l_restore = qScopeGuard(
            [&]
            {
                if (l_entry)
                    l_entry.Remove();
                l_hidden.Disconnect("shared_userlist");
            });
        QStringList l_files = Answer(text).split(QStringLiteral(", "), Qt::SkipEmptyParts);
        const qsizetype l_bulk = l_files.removeIf(
            [](const QString& i_file) { return i_file.contains(QStringLiteral("\\bulk\\bulk ")); });
        if (l_bulk > 0)
            l_files << QStringLiteral("%1 bulk").arg(l_bulk);
        QCOMPARE(l_files.join(QStringLiteral(", ")), answer);
    }

    void refusalIsLogged()
    {
        const auto l_refusals = [this]
        {
            return mp_harness->LogLines(QStringLiteral("Search"))
                .filter(QStringLiteral("Search from user bob refused: 40 words to match within "
                                       "names, more than 32"))
                .size();
        };
        const qsizetype l_before = l_refusals();
        QCOMPARE(Answer(WithExcludedWords("help", 40)), QString());
        QCOMPARE(l_refusals(), l_before + 1);
    }

    void replyFields_data()
    {
        QTest::addColumn<int>("uploadSlots");
        QTest::addColumn<int>("speed");
        QTest::addColumn<quint8>("freeSlot");
        QTest::addColumn<quint32>("queueLength");
        QTest::newRow("free slot, no speed") << 2 << -1 << quint8(1) << quint32(0);
        QTest::newRow("no slot, one queued") << 0 << 4321 << quint8(0) << quint32(1);
    }

    void replyFields()
    {
        QFETCH(int, uploadSlots);
        QFETCH(int, speed);
        QFETCH(quint8, freeSlot);
        QFETCH(quint32, queueLength);
        TestSettings::SetSetting("upload_slots", uploadSlots);
        if (speed >= 0)
            TestSettings::SetSetting("upload_speed", speed);
        if (queueLength > 0)
        {
            m_bob.SendBody(m_bobConnection,
                           Messages::QueueUpload(Local("pub/order/a.txt").replace('/', '\\')));
            QTRY_COMPARE_WITH_TIMEOUT(mp_transfers->QueuedUploadCount(), 1, timeoutMs);
        }

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
        QCOMPARE(l_reply.freeSlot, freeSlot);
        QCOMPARE(l_reply.speed, quint32(speed < 0 ? 0 : speed));
        QCOMPARE(l_reply.queueLength, queueLength);
        QCOMPARE(l_reply.tableCount, quint32(0));
    }
};

QTEST_GUILESS_MAIN(TestSearchAnswers)
#include "tst_searchanswers.moc"
