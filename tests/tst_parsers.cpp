#include "Data.h"
#include "FilterParser.h"
#include "SearchParser.h"

#include <QRandomGenerator>
#include <QTest>

#include <limits>
#include <set>
#include <string>

using namespace Qt::StringLiterals;

namespace
{
using TokenSet = std::set<std::string>;

// A file row as the views keep it: a valueless item with its attribute items.
ItemPtr NewFile(const char* i_mode, long long i_bitrate, long long i_size)
{
    ItemPtr l_file = d["search_result"]->NewItem();
    if (i_mode != nullptr)
        l_file += (*d["bitrate_mode"])[Value(i_mode)];
    l_file += (*d["bitrate"])[Value(i_bitrate)];
    l_file += (*d["file_size"])[Value(i_size)];
    return l_file;
}

FilterParser Filter(const char* i_text)
{
    FilterParser l_filter;
    l_filter.Parse(QString::fromUtf8(i_text));
    return l_filter;
}

int Test(const FilterParser& i_filter, const char* i_text, ItemPtr i_file = ItemPtr(),
         FilterParser* ip_residual = nullptr)
{
    return i_filter.IsMatching(QString::fromUtf8(i_text), ip_residual, i_file);
}

TokenSet Tokens(const QList<QByteArray>& i_tokens)
{
    TokenSet l_set;
    for (const QByteArray& l_token : i_tokens)
        l_set.insert(l_token.toStdString());
    return l_set;
}
} // namespace

class TestParsers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void SearchText_data();
    void SearchText();
    void SearchTextSeparators();
    void SearchTextMalformedNeverCrashes();
    void SearchTextLongInput();

    void FilterWords();
    void FilterWordSplitting();
    void FilterKeywords();
    void FilterKeywordsAreCaseSensitive();
    void FilterValuesThatAreNotNumbers();
    void FilterFileSize();
    void FilterHugeFileSizeDoesNotOverflow();
    void FilterVbrAndCbrTogether();
    void FilterFileWithoutAttributes();
    void FilterResidual();
    void FilterResidualCarriesConditions();
    void FilterMalformedNeverCrashes();
};

void TestParsers::initTestCase()
{
    d.NewType("search_result", true, true, false);
    for (const char* l_attribute : {"bitrate_mode", "bitrate", "file_size"})
    {
        d.NewType(l_attribute, false, false, true);
        d["search_result"]->RelateToType(l_attribute, Many, One, false);
    }
}

void TestParsers::SearchText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<QByteArray>>("included");
    QTest::addColumn<QList<QByteArray>>("includedPart");
    QTest::addColumn<QList<QByteArray>>("excluded");
    QTest::addColumn<bool>("result");

    using L = QList<QByteArray>;
    QTest::newRow("words, exclusion and part")
        << "pink floyd -live *remast"_ba << L{"floyd"_ba, "pink"_ba} << L{"remast"_ba}
        << L{"live"_ba} << true;
    QTest::newRow("quoted phrase")
        << "\"dark side\" moon"_ba << L{"dark side"_ba, "moon"_ba} << L{} << L{} << true;
    QTest::newRow("exclusion only") << "-live"_ba << L{} << L{} << L{"live"_ba} << false;
    QTest::newRow("part only") << "*mast"_ba << L{} << L{"mast"_ba} << L{} << true;
    QTest::newRow("empty") << ""_ba << L{} << L{} << L{} << false;
    QTest::newRow("blanks and tabs") << " \t \t"_ba << L{} << L{} << L{} << false;
    QTest::newRow("trailing lone minus") << "abc -"_ba << L{"abc"_ba} << L{} << L{} << false;
    QTest::newRow("trailing lone star") << "abc *"_ba << L{"abc"_ba} << L{} << L{} << false;
    QTest::newRow("empty phrase") << "abc \"\""_ba << L{"abc"_ba} << L{} << L{} << false;
    QTest::newRow("quote inside a word") << "ab\"c"_ba << L{} << L{} << L{} << false;
    QTest::newRow("unclosed phrase")
        << "\"open phrase"_ba << L{"open phrase"_ba} << L{} << L{} << true;
    QTest::newRow("case matters") << "Abc abc"_ba << L{"Abc"_ba, "abc"_ba} << L{} << L{} << true;
    QTest::newRow("duplicates once") << "x x"_ba << L{"x"_ba} << L{} << L{} << true;
    QTest::newRow("one prefix only: minus star")
        << "a -*x"_ba << L{"a"_ba} << L{} << L{"*x"_ba} << true;
    QTest::newRow("one prefix only: star minus") << "*-x"_ba << L{} << L{"-x"_ba} << L{} << true;
    QTest::newRow("excluded phrase") << "a -\"c d\""_ba << L{"a"_ba} << L{} << L{"c d"_ba} << true;
    QTest::newRow("word right after a phrase")
        << "\"ab\"cd"_ba << L{"ab"_ba, "cd"_ba} << L{} << L{} << true;
    QTest::newRow("blanks kept inside a phrase")
        << "\" a \""_ba << L{" a "_ba} << L{} << L{} << true;
    QTest::newRow("minus then lone quote") << "a -\""_ba << L{"a"_ba} << L{} << L{} << false;
    QTest::newRow("prefix before a blank") << "- a"_ba << L{} << L{} << L{} << false;
}

void TestParsers::SearchText()
{
    QFETCH(QByteArray, text);
    QFETCH(QList<QByteArray>, included);
    QFETCH(QList<QByteArray>, includedPart);
    QFETCH(QList<QByteArray>, excluded);
    QFETCH(bool, result);

    SearchParser l_parser;
    QCOMPARE(l_parser.SetSearchText(text.toStdString()), result);
    QCOMPARE(l_parser.GetIncludedTokenSet(), Tokens(included));
    QCOMPARE(l_parser.GetIncludedPartTokenSet(), Tokens(includedPart));
    QCOMPARE(l_parser.GetExcludedTokenSet(), Tokens(excluded));
}

void TestParsers::SearchTextSeparators()
{
    QCOMPARE(SearchParser::Whitespace(), std::string(" \t"));

    SearchParser l_parser;
    QVERIFY(l_parser.SetSearchText("a\tb\nc\r"));
    QCOMPARE(l_parser.GetIncludedTokenSet(), Tokens({"a"_ba, "b\nc\r"_ba}));
}

void TestParsers::SearchTextMalformedNeverCrashes()
{
    // Search texts come from other users.
    const char l_alphabet[] = {' ', '\t', '-', '*', '"', 'a', 'b', '\0', '\n'};
    QRandomGenerator l_random(7);
    for (int l_round = 0; l_round < 20000; ++l_round)
    {
        std::string l_text;
        const int l_length = l_random.bounded(12);
        for (int i = 0; i < l_length; ++i)
            l_text += l_alphabet[l_random.bounded(int(sizeof(l_alphabet)))];
        SearchParser l_parser;
        const bool l_result = l_parser.SetSearchText(l_text);
        if (l_result)
            QVERIFY(!l_parser.GetIncludedTokenSet().empty() ||
                    !l_parser.GetIncludedPartTokenSet().empty());
        for (const TokenSet* lp_set :
             {&l_parser.GetIncludedTokenSet(), &l_parser.GetIncludedPartTokenSet(),
              &l_parser.GetExcludedTokenSet()})
            for (const std::string& l_token : *lp_set)
                QVERIFY(!l_token.empty() && l_token.find('"') == std::string::npos);
    }
}

void TestParsers::SearchTextLongInput()
{
    std::string l_text;
    for (int i = 0; i < 100000; ++i)
        l_text += "w" + std::to_string(i) + " -x" + std::to_string(i) + " \"p " +
                  std::to_string(i) + "\" ";
    SearchParser l_parser;
    QVERIFY(l_parser.SetSearchText(l_text));
    QCOMPARE(l_parser.GetIncludedTokenSet().size(), std::size_t(200000));
    QCOMPARE(l_parser.GetExcludedTokenSet().size(), std::size_t(100000));
}

void TestParsers::FilterWords()
{
    const FilterParser l_filter = Filter("lackluster container -bothersome");
    QVERIFY(!l_filter.HasAttributes());
    QCOMPARE(l_filter.MinFilesInFolder(), 0);
    QCOMPARE(Test(l_filter, "Lackluster Container.mp3"), 0);
    QCOMPARE(Test(l_filter, "lackluster"), 1);
    QCOMPARE(Test(l_filter, "lackluster container BOTHERSOME"), 2);
    QCOMPARE(Test(l_filter, "bothersome"), 2);

    // Words are parts of the text, compared without regard to case.
    QCOMPARE(Test(Filter("Beat"), "the beatles"), 0);

    // A second text adds to the filter.
    FilterParser l_twice = Filter("a");
    l_twice.Parse(QStringLiteral("b"));
    QCOMPARE(Test(l_twice, "a"), 1);
    QCOMPARE(Test(l_twice, "ab"), 0);

    // An excluded word filters out a folder row too.
    QCOMPARE(Test(Filter("-live"), "Live at Pompeii"), 2);
}

void TestParsers::FilterWordSplitting()
{
    // Only blanks separate words; a tab belongs to its word.
    const FilterParser l_filter = Filter("  a\tb   c ");
    QCOMPARE(Test(l_filter, "a b c"), 1);
    QCOMPARE(Test(l_filter, "xa\tby c"), 0);

    // A lone "-" is neither excluded nor required.
    const FilterParser l_dash = Filter("- a");
    QCOMPARE(Test(l_dash, "a"), 0);
    QCOMPARE(Test(l_dash, "a-b"), 0);
    QCOMPARE(Test(Filter("--x"), "a-x"), 2);
    QCOMPARE(Test(Filter("--x"), "a x"), 0);
}

void TestParsers::FilterKeywords()
{
    const FilterParser l_short = Filter("iscbr mbr:320 mfs:10 mfif:8");
    QVERIFY(l_short.HasAttributes());
    QCOMPARE(l_short.MinFilesInFolder(), 8);
    QCOMPARE(Test(l_short, "any", NewFile("cbr", 320, 10000000)), 0);
    QCOMPARE(Test(l_short, "any", NewFile("vbr", 320, 10000000)), 2);
    QCOMPARE(Test(l_short, "any", NewFile("cbr", 319, 10000000)), 2);
    QCOMPARE(Test(l_short, "any", NewFile("cbr", 320, 9999999)), 2);
    QCOMPARE(Test(l_short, "any"), 0);

    const FilterParser l_long = Filter("isvbr minbitrate:192 minfilesize:1 minfilesinfolder:3");
    QVERIFY(l_long.HasAttributes());
    QCOMPARE(l_long.MinFilesInFolder(), 3);
    QCOMPARE(Test(l_long, "any", NewFile("vbr", 192, 1000000)), 0);
    QCOMPARE(Test(l_long, "any", NewFile("cbr", 192, 1000000)), 2);
    QCOMPARE(Test(l_long, "any", NewFile("vbr", 191, 1000000)), 2);

    QVERIFY(!Filter("mfif:8").HasAttributes());
    QCOMPARE(Filter("mfif:8").MinFilesInFolder(), 8);
    QVERIFY(Filter("isvbr").HasAttributes());

    // A later keyword of the same kind replaces the earlier value.
    QCOMPARE(Test(Filter("mbr:320 mbr:128"), "any", NewFile("cbr", 200, 1)), 0);
    QCOMPARE(Filter("mfif:8 minfilesinfolder:2").MinFilesInFolder(), 2);

    // Keywords are whole or prefixes as the table has them: "isvbrx" is a word.
    const FilterParser l_word = Filter("isvbrx");
    QVERIFY(!l_word.HasAttributes());
    QCOMPARE(Test(l_word, "any", NewFile("cbr", 0, 0)), 1);
}

void TestParsers::FilterKeywordsAreCaseSensitive()
{
    const FilterParser l_filter = Filter("MBR:320 IsVbr");
    QVERIFY(!l_filter.HasAttributes());
    QCOMPARE(Test(l_filter, "mbr:320 isvbr", NewFile("cbr", 1, 1)), 0);
    QCOMPARE(Test(l_filter, "mbr:320", NewFile("cbr", 1, 1)), 1);
}

void TestParsers::FilterValuesThatAreNotNumbers()
{
    const FilterParser l_filter = Filter("mbr:abc");
    QVERIFY(l_filter.HasAttributes());
    QCOMPARE(Test(l_filter, "any", NewFile("cbr", 0, 0)), 0);
    QCOMPARE(Test(l_filter, "any", NewFile("cbr", -1, 0)), 2);

    QVERIFY(Filter("mbr:").HasAttributes());
    QCOMPARE(Filter("mfif:x").MinFilesInFolder(), 0);
    // Too large for an int: not a number.
    QCOMPARE(Test(Filter("mbr:99999999999"), "any", NewFile("cbr", 0, 0)), 0);
}

void TestParsers::FilterFileSize()
{
    const FilterParser l_filter = Filter("minfilesize:5");
    QCOMPARE(Test(l_filter, "any", NewFile("cbr", 0, 4999999)), 2);
    QCOMPARE(Test(l_filter, "any", NewFile("cbr", 0, 5000000)), 0);
    // Sizes are 64-bit.
    QCOMPARE(Test(Filter("mfs:5000"), "any", NewFile("cbr", 0, 5000000000LL)), 0);
    QCOMPARE(Test(Filter("mfs:5001"), "any", NewFile("cbr", 0, 5000000000LL)), 2);
}

void TestParsers::FilterHugeFileSizeDoesNotOverflow()
{
    // Megabytes beyond the 64-bit range of bytes hold at its ends instead of wrapping.
    constexpr long long l_max = std::numeric_limits<long long>::max();
    const FilterParser l_huge = Filter("mfs:99999999999999");
    QCOMPARE(Test(l_huge, "any", NewFile("cbr", 0, l_max)), 0);
    QCOMPARE(Test(l_huge, "any", NewFile("cbr", 0, l_max - 1)), 2);
    QCOMPARE(Test(l_huge, "any", NewFile("cbr", 0, 5000000000000000000LL)), 2);

    const FilterParser l_negative = Filter("mfs:-99999999999999");
    QCOMPARE(Test(l_negative, "any", NewFile("cbr", 0, std::numeric_limits<long long>::min())), 0);
    QCOMPARE(Test(l_negative, "any", NewFile("cbr", 0, 0)), 0);
}

void TestParsers::FilterVbrAndCbrTogether()
{
    const FilterParser l_filter = Filter("isvbr iscbr");
    QCOMPARE(Test(l_filter, "any", NewFile("vbr", 320, 1)), 2);
    QCOMPARE(Test(l_filter, "any", NewFile("cbr", 320, 1)), 2);
    QCOMPARE(Test(l_filter, "any", NewFile(nullptr, 320, 1)), 2);
    QCOMPARE(Test(l_filter, "any"), 0);
}

void TestParsers::FilterFileWithoutAttributes()
{
    const ItemPtr l_bare = d["search_result"]->NewItem();
    QCOMPARE(Test(Filter("a"), "a", l_bare), 0);
    QCOMPARE(Test(Filter("mbr:1"), "a", l_bare), 2);
    QCOMPARE(Test(Filter("mfs:0 mbr:0"), "a", l_bare), 0);
    QCOMPARE(Test(Filter("iscbr"), "a", l_bare), 2);
}

void TestParsers::FilterResidual()
{
    const FilterParser l_filter = Filter("a c");
    QCOMPARE(Test(l_filter, "a b"), 1);

    FilterParser l_residual;
    QCOMPARE(Test(l_filter, "a b", ItemPtr(), &l_residual), 1);
    // Only "c" is left for the other text.
    QCOMPARE(Test(l_residual, "c"), 0);
    QCOMPARE(Test(l_residual, "a"), 1);

    // The residual is emptied on every use.
    QCOMPARE(Test(l_filter, "a c", ItemPtr(), &l_residual), 0);
    QCOMPARE(Test(l_residual, ""), 0);
    QCOMPARE(Test(l_filter, "", ItemPtr(), &l_residual), 1);
    QCOMPARE(Test(l_residual, "c"), 1);
    QCOMPARE(Test(l_residual, "ca"), 0);
}

void TestParsers::FilterResidualCarriesConditions()
{
    const FilterParser l_filter = Filter("a c -bad iscbr mbr:128 mfif:4");
    FilterParser l_residual;
    QCOMPARE(Test(l_filter, "a", NewFile("cbr", 128, 1), &l_residual), 1);
    QVERIFY(l_residual.HasAttributes());
    QCOMPARE(l_residual.MinFilesInFolder(), 4);
    QCOMPARE(Test(l_residual, "c"), 0);
    QCOMPARE(Test(l_residual, "c bad"), 2);
    QCOMPARE(Test(l_residual, "c", NewFile("vbr", 128, 1)), 2);
    QCOMPARE(Test(l_residual, "c", NewFile("cbr", 127, 1)), 2);

    // An excluded word in the first text ends the test there.
    QCOMPARE(Test(l_filter, "a c bad", NewFile("cbr", 128, 1), &l_residual), 2);
    QVERIFY(l_residual.HasAttributes());
    QCOMPARE(Test(l_residual, "bad"), 0);

    // A failed attribute test leaves the residual without words.
    QCOMPARE(Test(l_filter, "a", NewFile("vbr", 128, 1), &l_residual), 2);
    QCOMPARE(Test(l_residual, "bad"), 0);
}

void TestParsers::FilterMalformedNeverCrashes()
{
    const QStringList l_parts = {QStringLiteral("-"),      QStringLiteral(" "),
                                 QStringLiteral("mbr:"),   QStringLiteral("mfs:"),
                                 QStringLiteral("mfif:"),  QStringLiteral("isvbr"),
                                 QStringLiteral("9"),      QStringLiteral("\t"),
                                 QStringLiteral("\u00e9"), QStringLiteral("a")};
    QRandomGenerator l_random(11);
    const ItemPtr l_file = NewFile("vbr", 256, 123456789);
    for (int l_round = 0; l_round < 5000; ++l_round)
    {
        QString l_text;
        const int l_length = l_random.bounded(10);
        for (int i = 0; i < l_length; ++i)
            l_text += l_parts[l_random.bounded(int(l_parts.size()))];
        FilterParser l_filter;
        l_filter.Parse(l_text);
        FilterParser l_residual;
        const int l_result = l_filter.IsMatching(l_text, &l_residual, l_file);
        QVERIFY(l_result >= 0 && l_result <= 2);
        QVERIFY(l_filter.IsMatching(l_text, nullptr, ItemPtr()) >= 0);
    }

    // A long filter is parsed and applied in time proportional to its length.
    QString l_long;
    for (int i = 0; i < 100000; ++i)
        l_long += QStringLiteral("w%1 ").arg(i);
    FilterParser l_filter;
    l_filter.Parse(l_long);
    QCOMPARE(l_filter.IsMatching(QStringLiteral("w1"), nullptr, ItemPtr()), 1);
}

QTEST_GUILESS_MAIN(TestParsers)
#include "tst_parsers.moc"
