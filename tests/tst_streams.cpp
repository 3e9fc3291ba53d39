#include "AllocationProbe.h"
#include "MemStream.h"
#include "TCPAddress.h"
#include "UserStats.h"
#include "rcptr.h"

#include <QTest>

#include <csignal>
#include <cstdlib>
#include <list>
#include <map>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
QByteArray Unread(const MemStream& i_stream)
{
    return QByteArray(i_stream.GetReadBuffer(), i_stream.GetPendingReadLength());
}

MemStream StreamOf(const QByteArray& i_bytes)
{
    MemStream l_stream;
    l_stream.WriteBuffer(i_bytes.constData(), static_cast<unsigned long>(i_bytes.size()));
    return l_stream;
}

QByteArray Hex(const char* i_hex)
{
    return QByteArray::fromHex(QByteArray(i_hex));
}

QByteArray U32(quint32 i_value)
{
    MemStream l_stream;
    l_stream.Write(i_value);
    return Unread(l_stream);
}

// A count or length followed by n little-endian words 0, 1, 2...
QByteArray IntList(quint32 i_count, quint32 i_present)
{
    MemStream l_stream;
    l_stream.Write(i_count);
    for (quint32 l_index = 0; l_index < i_present; ++l_index)
        l_stream.Write(l_index);
    return Unread(l_stream);
}

// Runs i_action in a child process and returns what it printed, or a null array when it did not
// stop with SIGABRT.
template <class Action> QByteArray AbortMessage(Action i_action)
{
    int l_pipe[2];
    if (pipe(l_pipe) != 0)
        return QByteArray();
    const pid_t l_child = fork();
    if (l_child == 0)
    {
        dup2(l_pipe[1], STDERR_FILENO);
        dup2(l_pipe[1], STDOUT_FILENO);
        std::signal(SIGABRT, SIG_DFL);
        qInstallMessageHandler(nullptr);
        i_action();
        _exit(0);
    }
    close(l_pipe[1]);
    QByteArray l_output;
    char l_chunk[512];
    ssize_t l_read;
    while ((l_read = read(l_pipe[0], l_chunk, sizeof l_chunk)) > 0)
        l_output.append(l_chunk, l_read);
    close(l_pipe[0]);
    int l_status = 0;
    waitpid(l_child, &l_status, 0);
    if (!WIFSIGNALED(l_status) || WTERMSIG(l_status) != SIGABRT)
        return QByteArray();
    return l_output;
}

struct Counted
{
    explicit Counted(int* ip_destroyed) : mp_destroyed(ip_destroyed) {}
    ~Counted() { ++*mp_destroyed; }
    int* mp_destroyed;
};
} // namespace

class TestStreams : public QObject
{
    Q_OBJECT

private slots:
    void IntegersAreLittleEndian();
    void IntegerReadOnShortDataConsumesNothing();
    void StringEncoding();
    void StringValueEndsAtFirstZero();
    void StringLengthLimit();
    void StringShorterThanItsLength();
    void HostileLengthsAllocateNoMoreThanTheData();
    void ContainerEncoding();
    void ContainerCountLimit();
    void ContainerKeepsElementsBeforeFailure();
    void RepeatedElements();
    void UserStatsRecord();
    void GrowthDoublesCapacity();
    void CopiesShareBytesAndIndexes();
    void ReceiveIntoArray();
    void WriteRefusesToOutgrowIndexes();
    void ViolatedPreconditionsAbort();
    void ReferenceCounting();
};

void TestStreams::IntegersAreLittleEndian()
{
    MemStream l_stream;
    QVERIFY(l_stream.Write(quint8(0xAB)));
    QVERIFY(l_stream.Write(qint32(-2)));
    QVERIFY(l_stream.Write(quint32(0x01020304)));
    QVERIFY(l_stream.Write(qint64(-3)));
    QVERIFY(l_stream.Write(quint64(0x0102030405060708ULL)));
    QCOMPARE(Unread(l_stream), Hex("ab"
                                   "feffffff"
                                   "04030201"
                                   "fdffffffffffffff"
                                   "0807060504030201"));

    quint8 l_byte = 0;
    qint32 l_signed = 0;
    quint32 l_unsigned = 0;
    qint64 l_signed64 = 0;
    quint64 l_unsigned64 = 0;
    QVERIFY(l_stream.Read(l_byte) && l_stream.Read(l_signed) && l_stream.Read(l_unsigned) &&
            l_stream.Read(l_signed64) && l_stream.Read(l_unsigned64));
    QCOMPARE(l_byte, quint8(0xAB));
    QCOMPARE(l_signed, -2);
    QCOMPARE(l_unsigned, 0x01020304u);
    QCOMPARE(l_signed64, qint64(-3));
    QCOMPARE(l_unsigned64, 0x0102030405060708ULL);
    QCOMPARE(l_stream.GetPendingReadLength(), 0);
    QVERIFY(!l_stream.Read(l_byte));
    char l_nothing;
    QVERIFY(l_stream.ReadBuffer(&l_nothing, 0));
}

void TestStreams::IntegerReadOnShortDataConsumesNothing()
{
    MemStream l_stream = StreamOf(Hex("010203"));
    qint32 l_value = 7;
    QVERIFY(!l_stream.Read(l_value));
    QCOMPARE(l_value, 7);
    QCOMPARE(Unread(l_stream), Hex("010203"));

    MemStream l_seven = StreamOf(Hex("01020304050607"));
    quint64 l_wide = 9;
    QVERIFY(!l_seven.Read(l_wide));
    QCOMPARE(l_wide, 9ULL);
    QCOMPARE(l_seven.GetPendingReadLength(), 7);
}

void TestStreams::StringEncoding()
{
    MemStream l_stream;
    QVERIFY(l_stream.Write(std::string("abc")));
    QVERIFY(l_stream.Write(std::string()));
    QVERIFY(l_stream.Write(std::string("a\0b", 3)));
    QVERIFY(l_stream.Write(std::string("\xff\x80")));
    QCOMPARE(Unread(l_stream), Hex("03000000616263"
                                   "00000000"
                                   "03000000610062"
                                   "02000000ff80"));

    std::string l_value;
    QVERIFY(l_stream.Read(l_value));
    QCOMPARE(l_value, std::string("abc"));
    QVERIFY(l_stream.Read(l_value));
    QCOMPARE(l_value, std::string());
    QVERIFY(l_stream.Read(l_value));
    QCOMPARE(l_value, std::string("a"));
    QVERIFY(l_stream.Read(l_value));
    QCOMPARE(l_value, std::string("\xff\x80"));
    QCOMPARE(l_stream.GetPendingReadLength(), 0);
}

void TestStreams::StringValueEndsAtFirstZero()
{
    MemStream l_stream = StreamOf(Hex("05000000616200636401000000"));
    std::string l_value;
    qint32 l_next = 0;
    QVERIFY(l_stream.Read(l_value));
    QCOMPARE(l_value, std::string("ab"));
    QVERIFY(l_stream.Read(l_next));
    QCOMPARE(l_next, 1);

    // A long string takes another path than a short one; the cut must be the same.
    std::string l_long(1000, 'x');
    l_long[600] = '\0';
    MemStream l_longStream;
    l_longStream.Write(l_long);
    QVERIFY(l_longStream.Read(l_value));
    QCOMPARE(l_value, std::string(600, 'x'));
    QCOMPARE(l_longStream.GetPendingReadLength(), 0);

    MemStream l_empty = StreamOf(Hex("00000000"));
    l_value = "kept";
    QVERIFY(l_empty.Read(l_value));
    QCOMPARE(l_value, std::string());
}

void TestStreams::StringLengthLimit()
{
    const std::string l_largest(InputStream::MaxReadLength, 'z');
    MemStream l_accepted;
    l_accepted.Write(l_largest);
    std::string l_value;
    QVERIFY(l_accepted.Read(l_value));
    QCOMPARE(l_value, l_largest);
    QCOMPARE(l_accepted.GetPendingReadLength(), 0);

    MemStream l_refused;
    l_refused.Write(std::string(InputStream::MaxReadLength + 1, 'z'));
    l_value = "unchanged";
    QVERIFY(!l_refused.Read(l_value));
    QCOMPARE(l_value, std::string("unchanged"));
    QCOMPARE(l_refused.GetPendingReadLength(), qint32(InputStream::MaxReadLength + 1));

    MemStream l_huge = StreamOf(Hex("ffffffff61"));
    QVERIFY(!l_huge.Read(l_value));
    QCOMPARE(Unread(l_huge), Hex("61"));
}

void TestStreams::StringShorterThanItsLength()
{
    MemStream l_stream = StreamOf(Hex("0a000000616263"));
    std::string l_value = "unchanged";
    QVERIFY(!l_stream.Read(l_value));
    QCOMPARE(l_value, std::string("unchanged"));
    QCOMPARE(Unread(l_stream), Hex("616263"));

    MemStream l_lengthCut = StreamOf(Hex("0500"));
    QVERIFY(!l_lengthCut.Read(l_value));
    QCOMPARE(l_lengthCut.GetPendingReadLength(), 2);
}

void TestStreams::HostileLengthsAllocateNoMoreThanTheData()
{
    MemStream l_string = StreamOf(U32(InputStream::MaxReadLength) + "abc");
    MemStream l_list = StreamOf(U32(InputStream::MaxReadLength) + U32(3));
    MemStream l_map = StreamOf(U32(InputStream::MaxReadLength) + U32(1));
    std::string l_value;
    std::list<qint32> l_ints;
    std::map<qint32, std::string> l_texts;

    {
        // The probe must see allocations at all, or the check below proves nothing.
        AllocationProbe l_check;
        std::string l_big(4096, 'x');
        QCOMPARE(QByteArray::fromStdString(l_big).size(), 4096);
        QVERIFY(l_check.Largest() >= 4096);
    }

    AllocationProbe l_probe;
    const bool l_stringRead = l_string.Read(l_value);
    const bool l_listRead = l_list.Read(l_ints);
    const bool l_mapRead = l_map.Read(l_texts);
    l_probe.Stop();

    QVERIFY(!l_stringRead);
    QVERIFY(!l_listRead);
    QVERIFY(!l_mapRead);
    QCOMPARE(l_ints.size(), std::size_t(1));
    QVERIFY(l_probe.Largest() < 1024);
}

void TestStreams::ContainerEncoding()
{
    MemStream l_stream;
    QVERIFY(l_stream.Write(std::list<qint32>{1, -1}));
    QVERIFY(l_stream.Write(std::list<std::string>{"b", "a"}));
    QVERIFY(l_stream.Write(std::set<std::string>{"b", "a"}));
    QVERIFY(l_stream.Write(std::map<qint32, std::string>{{2, "x"}, {-1, ""}}));
    QVERIFY(l_stream.Write(TCPAddress(0x0100007F, 2235)));
    QVERIFY(l_stream.Write(std::list<qint32>()));
    QCOMPARE(Unread(l_stream), Hex("02000000"
                                   "01000000ffffffff"
                                   "02000000"
                                   "0100000062"
                                   "0100000061"
                                   "02000000"
                                   "0100000061"
                                   "0100000062"
                                   "02000000"
                                   "ffffffff00000000"
                                   "020000000100000078"
                                   "7f000001bb080000"
                                   "00000000"));

    std::list<qint32> l_ints{5};
    std::list<std::string> l_strings;
    std::set<std::string> l_set;
    std::map<qint32, std::string> l_map;
    TCPAddress l_address;
    std::list<qint32> l_empty{9};
    QVERIFY(l_stream.Read(l_ints));
    QVERIFY(l_stream.Read(l_strings));
    QVERIFY(l_stream.Read(l_set));
    QVERIFY(l_stream.Read(l_map));
    QVERIFY(l_stream.Read(l_address));
    QVERIFY(l_stream.Read(l_empty));
    QCOMPARE(l_ints, (std::list<qint32>{1, -1}));
    QCOMPARE(l_strings, (std::list<std::string>{"b", "a"}));
    QCOMPARE(l_set, (std::set<std::string>{"a", "b"}));
    QCOMPARE(l_map, (std::map<qint32, std::string>{{-1, ""}, {2, "x"}}));
    QCOMPARE(l_address, TCPAddress(0x0100007F, 2235));
    QVERIFY(l_empty.empty());
    QCOMPARE(l_stream.GetPendingReadLength(), 0);
}

void TestStreams::ContainerCountLimit()
{
    MemStream l_largest = StreamOf(IntList(InputStream::MaxReadLength, InputStream::MaxReadLength));
    std::list<qint32> l_ints;
    QVERIFY(l_largest.Read(l_ints));
    QCOMPARE(l_ints.size(), std::size_t(InputStream::MaxReadLength));
    QCOMPARE(l_ints.back(), qint32(InputStream::MaxReadLength - 1));

    // Over the limit the read stops right after the count, before any element.
    for (quint32 l_count : {InputStream::MaxReadLength + 1, 0x80000000u, 0xFFFFFFFFu})
    {
        MemStream l_refused = StreamOf(IntList(l_count, 2));
        l_ints = {7};
        QVERIFY(!l_refused.Read(l_ints));
        QVERIFY(l_ints.empty());
        QCOMPARE(l_refused.GetPendingReadLength(), 8);

        MemStream l_refusedSet = StreamOf(IntList(l_count, 0));
        std::set<std::string> l_set{"old"};
        QVERIFY(!l_refusedSet.Read(l_set));
        QVERIFY(l_set.empty());
        QCOMPARE(l_refusedSet.GetPendingReadLength(), 0);
    }
}

void TestStreams::ContainerKeepsElementsBeforeFailure()
{
    MemStream l_stream = StreamOf(IntList(3, 2) + Hex("aabbcc"));
    std::list<qint32> l_ints;
    QVERIFY(!l_stream.Read(l_ints));
    QCOMPARE(l_ints, (std::list<qint32>{0, 1}));
    QCOMPARE(Unread(l_stream), Hex("aabbcc"));

    // An entry whose value is cut short is not entered.
    MemStream l_mapStream = StreamOf(Hex("02000000"
                                         "0100000001000000"
                                         "61"
                                         "0200000005000000"
                                         "6263"));
    std::map<qint32, std::string> l_map;
    QVERIFY(!l_mapStream.Read(l_map));
    QCOMPARE(l_map, (std::map<qint32, std::string>{{1, "a"}}));
    QCOMPARE(l_mapStream.GetPendingReadLength(), 2);
}

void TestStreams::RepeatedElements()
{
    MemStream l_stream = StreamOf(Hex("03000000"
                                      "0100000062"
                                      "0100000061"
                                      "0100000062"
                                      "03000000"
                                      "070000000100000061"
                                      "080000000100000062"
                                      "070000000100000063"));
    std::set<std::string> l_set;
    std::map<qint32, std::string> l_map;
    QVERIFY(l_stream.Read(l_set));
    QVERIFY(l_stream.Read(l_map));
    QCOMPARE(l_set, (std::set<std::string>{"a", "b"}));
    QCOMPARE(l_map, (std::map<qint32, std::string>{{7, "c"}, {8, "b"}}));

    MemStream l_listStream = StreamOf(Hex("02000000"
                                          "0100000061"
                                          "0500000061"));
    std::list<std::string> l_list;
    QVERIFY(!l_listStream.Read(l_list));
    QCOMPARE(l_list, (std::list<std::string>{"a"}));
}

void TestStreams::UserStatsRecord()
{
    UserStats l_stats;
    l_stats.m_averageSpeed = 0x11223344;
    l_stats.m_reserved64 = 0x0102030405060708ULL;
    l_stats.m_sharedFilesCount = 5;
    l_stats.m_reserved32 = 0xFFFFFFFF;
    MemStream l_stream;
    QVERIFY(l_stream.Write(l_stats));
    QCOMPARE(Unread(l_stream), Hex("44332211"
                                   "0807060504030201"
                                   "05000000"
                                   "ffffffff"));

    UserStats l_read;
    QCOMPARE(l_read, UserStats());
    QCOMPARE(l_read.m_averageSpeed, 0u);
    QVERIFY(l_stream.Read(l_read));
    QCOMPARE(l_read, l_stats);

    // Nineteen bytes: the first three fields arrive, the last one is missing.
    MemStream l_short = StreamOf(Hex("44332211080706050403020105000000ffffff"));
    UserStats l_partial;
    QVERIFY(!l_short.Read(l_partial));
    QCOMPARE(l_partial.m_sharedFilesCount, 5u);
    QCOMPARE(l_partial.m_reserved32, 0u);
    QCOMPARE(l_short.GetPendingReadLength(), 3);
}

void TestStreams::GrowthDoublesCapacity()
{
    MemStream l_stream;
    QCOMPARE(l_stream.GetBufferSize(), 256);
    const QByteArray l_bytes(256, 'q');
    l_stream.WriteBuffer(l_bytes.constData(), 255);
    QCOMPARE(l_stream.GetBufferSize(), 256);
    l_stream.WriteBuffer(l_bytes.constData(), 1);
    QCOMPARE(l_stream.GetBufferSize(), 512);
    QCOMPARE(l_stream.GetPendingReadLength(), 256);
    QCOMPARE(l_stream.GetReadBuffer()[0], 'q');

    // Growing keeps read and unread bytes and the read position.
    quint32 l_word;
    QVERIFY(l_stream.Read(l_word));
    const QByteArray l_more(1000, 'r');
    l_stream.WriteBuffer(l_more.constData(), 1000);
    QCOMPARE(l_stream.GetBufferSize(), 2048);
    QCOMPARE(Unread(l_stream), QByteArray(252, 'q') + l_more);

    l_stream.Reset();
    QCOMPARE(l_stream.GetPendingReadLength(), 0);
    QCOMPARE(l_stream.GetWriteIndex(), 0);
    QCOMPARE(l_stream.GetBufferSize(), 2048);
}

void TestStreams::CopiesShareBytesAndIndexes()
{
    MemStream l_original = StreamOf(Hex("0100000002000000"));
    MemStream l_copy(l_original);
    qint32 l_value;
    QVERIFY(l_copy.Read(l_value));
    QCOMPARE(l_original.GetPendingReadLength(), 4);

    MemStream l_assigned;
    l_assigned = l_original;
    l_assigned.Write(qint32(3));
    QCOMPARE(Unread(l_original), Hex("0200000003000000"));

    // A handler that takes the body by value reads the caller's buffer.
    auto l_handler = [](MemStream i_body)
    {
        qint32 l_first;
        return i_body.Read(l_first) ? l_first : -1;
    };
    QCOMPARE(l_handler(l_original), 2);
    QCOMPARE(l_original.GetPendingReadLength(), 4);

    // The bytes live as long as any copy does.
    auto* lp_owner = new MemStream(l_original);
    MemStream l_survivor(*lp_owner);
    l_original = MemStream();
    delete lp_owner;
    QVERIFY(l_survivor.Read(l_value));
    QCOMPARE(l_value, 3);
    QCOMPARE(l_original.GetPendingReadLength(), 0);
}

void TestStreams::ReceiveIntoArray()
{
    MemStream l_stream;
    l_stream.EnsureBufferCapacity(100);
    QCOMPARE(l_stream.GetBufferSize(), 256);
    l_stream.EnsureBufferCapacity(1000);
    QCOMPARE(l_stream.GetBufferSize(), 1000);

    const QByteArray l_frame = Hex("0700000003000000616263");
    memcpy(l_stream.GetWriteBuffer(), l_frame.constData(), 4);
    l_stream.AdvanceWriteIndex(4);
    memcpy(l_stream.GetWriteBuffer(), l_frame.constData() + 4, l_frame.size() - 4);
    l_stream.AdvanceWriteIndex(static_cast<qint32>(l_frame.size() - 4));
    QCOMPARE(l_stream.GetWriteIndex(), 11);

    qint32 l_code;
    std::string l_text;
    QVERIFY(l_stream.Read(l_code) && l_stream.Read(l_text));
    QCOMPARE(l_code, 7);
    QCOMPARE(l_text, std::string("abc"));

    // Filled to the last byte, the array still grows on the next write.
    MemStream l_full;
    l_full.EnsureBufferCapacity(300);
    l_full.AdvanceWriteIndex(300);
    QVERIFY(l_full.Write(quint8(1)));
    QCOMPARE(l_full.GetBufferSize(), 600);
    QCOMPARE(l_full.GetPendingReadLength(), 301);
}

void TestStreams::WriteRefusesToOutgrowIndexes()
{
    MemStream l_stream = StreamOf(Hex("01"));
    const char l_byte = 0;
    QVERIFY(!l_stream.WriteBuffer(&l_byte, 0x7FFFFFFFul));
    QVERIFY(!l_stream.WriteBuffer(&l_byte, 0xFFFFFFFFul));
    QVERIFY(!l_stream.WriteBuffer(&l_byte, ~0ul));
    QCOMPARE(Unread(l_stream), Hex("01"));
    QCOMPARE(l_stream.GetBufferSize(), 256);
}

void TestStreams::ViolatedPreconditionsAbort()
{
    QVERIFY(AbortMessage(
                []
                {
                    rcptr<MemStream::Buffer> l_empty;
                    l_empty->m_readIndex = 1;
                })
                .contains("\"mp_object != 0\""));
    QVERIFY(AbortMessage(
                []
                {
                    MemStream l_stream;
                    l_stream.AdvanceWriteIndex(257);
                })
                .contains("\"mp_buffer->m_writeIndex <= mp_buffer->m_bufferSize\""));
    QVERIFY(AbortMessage(
                []
                {
                    MemStream l_stream;
                    l_stream.Write(quint8(1));
                    l_stream.EnsureBufferCapacity(1000);
                })
                .contains("\"mp_buffer->m_writeIndex == 0\""));
}

void TestStreams::ReferenceCounting()
{
    int l_destroyed = 0;
    {
        rcptr<Counted> l_first(new Counted(&l_destroyed));
        rcptr<Counted> l_second(l_first);
        QCOMPARE(l_first.GetCount(), 2);
        l_second = l_first;
        QCOMPARE(l_first.GetCount(), 2);
        l_second = l_second.Get();
        QCOMPARE(l_second.GetCount(), 2);

        l_second = new Counted(&l_destroyed);
        QCOMPARE(l_first.GetCount(), 1);
        QCOMPARE(l_second.GetCount(), 1);
        QCOMPARE(l_destroyed, 0);

        l_first = l_second;
        QCOMPARE(l_destroyed, 1);
        QCOMPARE(l_second.GetCount(), 2);

        l_first = nullptr;
        QVERIFY(l_first.Get() == nullptr);
        QCOMPARE(l_first.GetCount(), 0);
        QCOMPARE(l_second.GetCount(), 1);
    }
    QCOMPARE(l_destroyed, 2);

    rcptr<Counted> l_empty;
    rcptr<Counted> l_alsoEmpty(l_empty);
    l_empty = l_alsoEmpty;
    QCOMPARE(l_empty.GetCount(), 0);
}

QTEST_GUILESS_MAIN(TestStreams)
#include "tst_streams.moc"
