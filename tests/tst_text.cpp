#include "GeneralFunctions.h"
#include "KeptSequences.h"

#include <QTest>

#include <climits>
#include <initializer_list>
#include <string>
#include <tuple>
#include <utility>

using namespace Qt::StringLiterals;

class TestText : public QObject
{
    Q_OBJECT

private slots:
    void PathFunctions_data();
    void PathFunctions();
    void FileExtension_data();
    void FileExtension();
    void AbsoluteFileName_data();
    void AbsoluteFileName();
    void ReversePathname_data();
    void ReversePathname();
    void LongPathsStayLinear();
    void CommafyNumber_data();
    void CommafyNumber();
    void FormatSeconds_data();
    void FormatSeconds();
    void EscapeHTML();
    void ConvertLinks_data();
    void ConvertLinks();
    void ConvertLinksOnHostileText();
    void ShownText_data();
    void ShownText();
    void ShownLogLine_data();
    void ShownLogLine();
    void GetBit();
};

void TestText::PathFunctions_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("fileName");
    QTest::addColumn<QByteArray>("parent");

    QTest::newRow("remote file") << "Music\\Rock\\song.mp3"_ba
                                 << "Music\\Rock"_ba
                                 << "song.mp3"_ba
                                 << "Music\\Rock"_ba;
    QTest::newRow("trailing backslash") << "Music\\Rock\\"_ba
                                        << "Music"_ba
                                        << "Rock"_ba
                                        << "Music"_ba;
    QTest::newRow("trailing slash") << "Music/Rock/"_ba
                                    << "Music"_ba
                                    << "Rock"_ba
                                    << "Music"_ba;
    QTest::newRow("bare name") << "song.mp3"_ba
                               << "song.mp3"_ba
                               << "song.mp3"_ba
                               << "song.mp3"_ba;
    QTest::newRow("leading separator") << "\\song.mp3"_ba
                                       << ""_ba
                                       << "song.mp3"_ba
                                       << ""_ba;
    QTest::newRow("slash alone") << "/"_ba
                                 << ""_ba
                                 << ""_ba
                                 << ""_ba;
    QTest::newRow("empty") << ""_ba
                           << ""_ba
                           << ""_ba
                           << ""_ba;
    QTest::newRow("three trailing backslashes") << "Music\\Rock\\\\\\"_ba
                                                << "Music\\Rock\\"_ba
                                                << ""_ba
                                                << "Music"_ba;
    QTest::newRow("backslashes alone") << "\\\\"_ba
                                       << ""_ba
                                       << ""_ba
                                       << ""_ba;
    QTest::newRow("local folder") << "a/b/c/"_ba
                                  << "a/b"_ba
                                  << "c"_ba
                                  << "a/b"_ba;
    QTest::newRow("mixed separators") << "a\\b/c"_ba
                                      << "a\\b"_ba
                                      << "c"_ba
                                      << "a\\b"_ba;
}

void TestText::PathFunctions()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, fileName);
    QFETCH(QByteArray, parent);
    QCOMPARE(GetFolder(path.toStdString()), folder.toStdString());
    QCOMPARE(GetFileName(path.toStdString()), fileName.toStdString());
    QCOMPARE(GetParentFolder(path.toStdString()), parent.toStdString());
}

void TestText::FileExtension_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("extension");
    QTest::newRow("upper case") << "Song.MP3"_ba
                                << "mp3"_ba;
    QTest::newRow("two dots") << "archive.tar.gz"_ba
                              << "gz"_ba;
    QTest::newRow("no dot") << "README"_ba
                            << ""_ba;
    QTest::newRow("trailing dot") << "name."_ba
                                  << ""_ba;
    QTest::newRow("dot in folder") << "my.folder\\file"_ba
                                   << "folder\\file"_ba;
    QTest::newRow("empty") << ""_ba
                           << ""_ba;
}

void TestText::FileExtension()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, extension);
    QCOMPARE(GetFileExtension(path.toStdString()), extension.toStdString());
}

void TestText::AbsoluteFileName_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("absolute");
    QTest::newRow("local") << "/Home//User/Music/"_ba
                           << "/home/user/music"_ba;
    QTest::newRow("drive") << "D:\\Music\\\\Rock"_ba
                           << "d:\\music\\rock"_ba;
    QTest::newRow("mixed run keeps its first") << "a/\\/b\\//c"_ba
                                               << "a/b\\c"_ba;
    QTest::newRow("one trailing run") << "a\\\\\\"_ba
                                      << "a"_ba;
    QTest::newRow("root") << "/"_ba
                          << ""_ba;
    QTest::newRow("empty") << ""_ba
                           << ""_ba;
}

void TestText::AbsoluteFileName()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, absolute);
    QCOMPARE(GetAbsoluteFileName(path.toStdString()), absolute.toStdString());
}

void TestText::ReversePathname_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("reversed");
    QTest::newRow("remote") << "Music\\Rock\\Album"_ba
                            << "Album/Rock/Music"_ba;
    QTest::newRow("empty components") << "/a//b/"_ba
                                      << "b/a"_ba;
    QTest::newRow("one component") << "abc"_ba
                                   << "abc"_ba;
    QTest::newRow("mixed") << "a/b\\c"_ba
                           << "c/b/a"_ba;
    QTest::newRow("separators only") << "\\//\\"_ba
                                     << ""_ba;
    QTest::newRow("empty") << ""_ba
                           << ""_ba;
}

void TestText::ReversePathname()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, reversed);
    QCOMPARE(::ReversePathname(path.toStdString()), reversed.toStdString());
}

void TestText::LongPathsStayLinear()
{
    // Paths come from other users; 200,000 components must not take quadratic time.
    std::string l_path;
    for (int i = 0; i < 200000; ++i)
        l_path += "ab\\\\";
    QCOMPARE(::ReversePathname(l_path).size(), std::size_t(200000 * 3 - 1));
    QCOMPARE(GetAbsoluteFileName(l_path).size(), std::size_t(200000 * 3 - 1));
    QCOMPARE(GetParentFolder(l_path).size(), l_path.size() - 5);
}

void TestText::CommafyNumber_data()
{
    QTest::addColumn<qint64>("number");
    QTest::addColumn<QString>("text");
    QTest::newRow("999") << qint64(999) << u"999"_s;
    QTest::newRow("1000") << qint64(1000) << u"1,000"_s;
    QTest::newRow("100000") << qint64(100000) << u"100,000"_s;
    QTest::newRow("1234567") << qint64(1234567) << u"1,234,567"_s;
    QTest::newRow("1") << qint64(1) << u"1"_s;
    QTest::newRow("max") << std::numeric_limits<qint64>::max() << u"9,223,372,036,854,775,807"_s;
    QTest::newRow("zero") << qint64(0) << QString();
    QTest::newRow("negative") << qint64(-1234) << QString();
    QTest::newRow("min") << std::numeric_limits<qint64>::min() << QString();
}

void TestText::CommafyNumber()
{
    QFETCH(qint64, number);
    QFETCH(QString, text);
    QCOMPARE(::CommafyNumber(number), text);
}

void TestText::FormatSeconds_data()
{
    QTest::addColumn<long>("seconds");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("0") << 0L << "0m0s"_ba;
    QTest::newRow("59") << 59L << "0m59s"_ba;
    QTest::newRow("61") << 61L << "1m1s"_ba;
    QTest::newRow("3600") << 3600L << "1h0m0s"_ba;
    QTest::newRow("3661") << 3661L << "1h1m1s"_ba;
    QTest::newRow("86400") << 86400L << "1d0h0m0s"_ba;
    QTest::newRow("90061") << 90061L << "1d1h1m1s"_ba;
    QTest::newRow("two days and a minute") << 172860L << "2d0h1m0s"_ba;
}

void TestText::FormatSeconds()
{
    QFETCH(long, seconds);
    QFETCH(QByteArray, text);
    QCOMPARE(::FormatSeconds(seconds), text.toStdString());
}

void TestText::EscapeHTML()
{
    QCOMPARE(::EscapeHTML(u"a<b>&c"_s), u"a&lt;b&gt;&amp;c"_s);
    QCOMPARE(::EscapeHTML(u"\"quoted\" 'text'"_s), u"\"quoted\" 'text'"_s);
    QCOMPARE(::EscapeHTML(u"&amp;"_s), u"&amp;amp;"_s);
    QCOMPARE(::EscapeHTML(QString()), QString());
}

void TestText::ConvertLinks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("html");

    QTest::newRow("full stop after the address")
        << u"see http://example.com/a."_s
        << u"see <a href=\"http://example.com/a\">http://example.com/a</a>."_s;
    QTest::newRow("https") << u"https://x.org"_s
                           << u"<a href=\"https://x.org\">https://x.org</a>"_s;
    QTest::newRow("query kept, trailing punctuation dropped")
        << u"go http://a.com/x?y=1&amp;z=2,; now"_s
        << u"go <a href=\"http://a.com/x?y=1&amp;z=2\">http://a.com/x?y=1&amp;z=2</a>,; now"_s;
    QTest::newRow("what was markup ends the address")
        << u"http://a.b/c&lt;b&gt;x"_s << u"<a href=\"http://a.b/c\">http://a.b/c</a>&lt;b&gt;x"_s;
    QTest::newRow("an ampersand ends the address whole")
        << u"http://a.b/?c&amp;; x"_s
        << u"<a href=\"http://a.b/?c&amp;\">http://a.b/?c&amp;</a>; x"_s;
    QTest::newRow("two addresses")
        << u"http://a.b and http://c.d"_s
        << u"<a href=\"http://a.b\">http://a.b</a> and <a href=\"http://c.d\">http://c.d</a>"_s;
    QTest::newRow("inside brackets")
        << u"(http://a.com)"_s << u"(<a href=\"http://a.com\">http://a.com</a>)"_s;
    QTest::newRow("a quote ends the address")
        << u"http://a.com/\"onclick="_s
        << u"<a href=\"http://a.com/\">http://a.com/</a>\"onclick="_s;
    QTest::newRow("capital scheme") << u"HTTP://example.com"_s << u"HTTP://example.com"_s;
    QTest::newRow("other scheme") << u"ftp://example.com"_s << u"ftp://example.com"_s;
    QTest::newRow("nothing after the scheme") << u"http://"_s << u"http://"_s;
    QTest::newRow("only punctuation after the scheme") << u"http://..,"_s << u"http://..,"_s;
    // The scheme must start a word, with word characters of any script.
    QTest::newRow("after a letter") << u"xhttp://a.com"_s << u"xhttp://a.com"_s;
    QTest::newRow("after a digit") << u"1http://a.com"_s << u"1http://a.com"_s;
    QTest::newRow("after an underscore") << u"_http://a.com"_s << u"_http://a.com"_s;
    QTest::newRow("after an accented letter") << u"\u00e9http://a.com"_s << u"\u00e9http://a.com"_s;
    QTest::newRow("after a combining mark") << u"e\u0301http://a.com"_s << u"e\u0301http://a.com"_s;
    QTest::newRow("after a blank")
        << u"\u00e9 http://a.com"_s << u"\u00e9 <a href=\"http://a.com\">http://a.com</a>"_s;
    QTest::newRow("non-ASCII ends the address")
        << u"http://a.com/\u00e9"_s << u"<a href=\"http://a.com/\">http://a.com/</a>\u00e9"_s;
}

void TestText::ConvertLinks()
{
    QFETCH(QString, text);
    QFETCH(QString, html);
    QCOMPARE(::ConvertLinks(text), html);
}

void TestText::ConvertLinksOnHostileText()
{
    // Chat text comes from other users: long runs that almost match must not backtrack
    // without bound.
    const QString l_dots = u"http://"_s + QString(500000, u'.');
    QCOMPARE(::ConvertLinks(l_dots), l_dots);

    QString l_schemes;
    for (int i = 0; i < 50000; ++i)
        l_schemes += u"http://;"_s;
    const QString l_converted = ::ConvertLinks(l_schemes);
    QVERIFY(l_converted.startsWith(u"<a href=\"http://;http://;"_s));
    QVERIFY(l_converted.endsWith(u"http://</a>;"_s));
    QCOMPARE(l_converted.count(u"<a href"_s), 1);
}

namespace
{
QString Code(char32_t i_code)
{
    return QStringView(QChar::fromUcs4(i_code)).toString();
}

QString MarkOf(char32_t i_code)
{
    return QStringLiteral("<U+%1>").arg(uint(i_code), 4, 16, QLatin1Char('0')).toUpper();
}
} // namespace

void TestText::ShownText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    // How a name shows, where it differs from the text.
    QTest::addColumn<QString>("name");
    const auto l_row = [](const QString& i_tag, const QString& i_text, const QString& i_shown,
                          const QString& i_name = QString())
    {
        QTest::addRow("%s", qPrintable(i_tag))
            << i_text << i_shown << (i_name.isNull() ? i_shown : i_name);
    };
    l_row(u"all nine"_s, u"\u202A\u202B\u202C\u202D\u202E\u2066\u2067\u2068\u2069"_s,
          u"<U+202A><U+202B><U+202C><U+202D><U+202E><U+2066><U+2067><U+2068><U+2069>"_s);
    l_row(u"neighbours"_s, u"\u202F\u2065\u206A\u200F \u05D0\t\u001F\u2027\u202A"_s,
          u"\u202F<U+2065><U+206A><U+200F> \u05D0<U+0009><U+001F>\u2027<U+202A>"_s,
          u"<U+202F><U+2065><U+206A><U+200F> \u05D0<U+0009><U+001F>\u2027<U+202A>"_s);
    l_row(u"line breaks"_s, u"a\nb\u000Bc\fd\re"_s, u"a<U+000A>b<U+000B>c<U+000C>d<U+000D>e"_s);
    l_row(u"separators"_s, u"\u001C\u001D\u001E\u0085\u2028\u2029"_s,
          u"<U+001C><U+001D><U+001E><U+0085><U+2028><U+2029>"_s);
    l_row(u"noncharacters"_s, u"x\uFDD0y\uFDD1z\uFDEF\uFFFE"_s,
          u"x<U+FDD0>y<U+FDD1>z<U+FDEF><U+FFFE>"_s);
    // One code point of each kind, and both ends of each range of Default_Ignorable_Code_Point,
    // those beyond the first plane marked once each, not as two surrogates.
    for (const char32_t l_code :
         {0x0000,  0x007F,  0x0080,  0x009F,  0x00AD,   0x034F,  0x0378,  0x0600,  0x061C,
          0x1160,  0x17B4,  0x17B5,  0x180E,  0x200B,   0x202C,  0x2064,  0x3164,  0xE000,
          0xF8FF,  0xFE00,  0xFEFF,  0xFFA0,  0xFFF0,   0xFFF9,  0xFFFA,  0xFFFB,  0xFFFC,
          0xFFFF,  0x110BD, 0x1BCA0, 0x1BCA3, 0x1D173,  0x1D17A, 0x1FFFE, 0xE0000, 0xE0001,
          0xE0041, 0xE0C00, 0xE0FFF, 0xF0000, 0x10FFFD, 0x10FFFF})
        l_row(MarkOf(l_code), u"ali"_s + Code(l_code) + u"ce"_s,
              u"ali"_s + MarkOf(l_code) + u"ce"_s);
    l_row(u"lone surrogates"_s, u"a"_s + QChar(0xD800) + u"b"_s + QChar(0xDFFF),
          u"a<U+D800>b<U+DFFF>"_s);
    l_row(u"beside a mark beyond the first plane"_s, u"\U00010000\u200B\U00010000"_s,
          u"\U00010000<U+200B>\U00010000"_s);
    l_row(u"byte order mark"_s, u"\uFEFFalice"_s, u"<U+FEFF>alice"_s);

    // Joiners and selectors where Unicode gives them work.
    for (const auto& [l_tag, l_text] : KeptSequences())
        l_row(u"kept: "_s + QLatin1StringView(l_tag), l_text, l_text);
    // And the same where they change nothing, or beside what shows as a mark, where they join
    // nothing either.
    for (
        const auto& [l_tag, l_text, l_shown] :
        std::initializer_list<std::tuple<const char*, QString, QString>>{
            {"between Latin letters", u"a\u200Db\u200Cc\uFE0F e\u0301\u200De"_s,
             u"a<U+200D>b<U+200C>c<U+FE0F> e\u0301<U+200D>e"_s},
            {"between Cyrillic letters", u"\u043C\u0430\u200D\u0440\u0438\u044F"_s,
             u"\u043C\u0430<U+200D>\u0440\u0438\u044F"_s},
            {"after accented letters", u"m\u00FC\uFE0Fller jos\u00E9\uFE0F"_s,
             u"m\u00FC<U+FE0F>ller jos\u00E9<U+FE0F>"_s},
            {"between Han letters", u"\u5C71\u200D\u7530\u5C71\u200C\u7530"_s,
             u"\u5C71<U+200D>\u7530\u5C71<U+200C>\u7530"_s},
            {"between Hebrew letters", u"\u05E9\u05DC\u200D\u05D5\u05DD"_s,
             u"\u05E9\u05DC<U+200D>\u05D5\u05DD"_s},
            {"non-joiner where a side does not join", u"\u0627\u200C\u0628 \u0628\u200C"_s,
             u"\u0627<U+200C>\u0628 \u0628<U+200C>"_s},
            {"a marked selector lets no joiner through", u"a\uFE0F\u200D\u05D0"_s,
             u"a<U+FE0F><U+200D>\u05D0"_s},
            {"joiner after a pictograph with a text selector",
             u"\U0001F469\uFE0E\u200D\U0001F4BB"_s, u"\U0001F469\uFE0E<U+200D>\U0001F4BB"_s},
            {"selector on a digit outside a keycap", u"alice1\uFE0F 2\uFE0E"_s,
             u"alice1<U+FE0F> 2<U+FE0E>"_s},
            {"other variation selectors",
             u"\u845B\uFE00 \uAC00\U000E0100 \u1820\u180E \u1810\u180B"_s,
             u"\u845B<U+FE00> \uAC00<U+E0100> \u1820<U+180E> \u1810<U+180B>"_s},
            {"joiners beside marks",
             u"\U0001F469\u200D\U0001FED2 \u0628\u200B\u200C\u0628 \u2388\uFE0F\u200D\U0001F469"_s,
             u"\U0001F469<U+200D><U+1FED2> \u0628<U+200B><U+200C>\u0628 \u2388<U+FE0F><U+200D>\U0001F469"_s},
            {"joiner from a pictograph to a letter", u"\U0001F469\u200D\u05D0"_s,
             u"\U0001F469<U+200D>\u05D0"_s},
            {"tags without a black flag", u"\U0001F3F3\U000E0067\U000E007F"_s,
             u"\U0001F3F3<U+E0067><U+E007F>"_s},
            {"tags not ended", u"\U0001F3F4\U000E0067\U000E0062 \U0001F3F4\U000E007F"_s,
             u"\U0001F3F4<U+E0067><U+E0062> \U0001F3F4<U+E007F>"_s},
            {"joiner beside blanks and ends", u"\u200D\u05D0\u200D \u05D0\u200D"_s,
             u"<U+200D>\u05D0<U+200D> \u05D0<U+200D>"_s}})
        l_row(QString::fromLatin1(l_tag), l_text, l_shown);

    // A name's blanks: each one at an end, every one inside but a single space.
    for (const char32_t l_code : {0x0009, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000, 0x200A,
                                  0x2028, 0x2029, 0x202F, 0x205F, 0x2800, 0x3000})
    {
        // Text marks only the blanks that are controls or line breaks.
        const bool l_breaks =
            l_code < 0x20 || l_code == 0x85 || l_code == 0x2028 || l_code == 0x2029;
        const QString l_shown = l_breaks ? MarkOf(l_code) : Code(l_code);
        l_row(MarkOf(l_code) + u" first"_s, Code(l_code) + u"alice"_s, l_shown + u"alice"_s,
              MarkOf(l_code) + u"alice"_s);
        l_row(MarkOf(l_code) + u" last"_s, u"alice"_s + Code(l_code), u"alice"_s + l_shown,
              u"alice"_s + MarkOf(l_code));
        if (l_code != 0x20)
            l_row(MarkOf(l_code) + u" inside"_s, u"al"_s + Code(l_code) + u"ice"_s,
                  u"al"_s + l_shown + u"ice"_s, u"al"_s + MarkOf(l_code) + u"ice"_s);
    }
    l_row(u"spaces inside"_s, u"a b  c \u00A0d"_s, u"a b  c \u00A0d"_s,
          u"a b <U+0020>c <U+00A0>d"_s);
    l_row(u"blank name"_s, u"\u0020\u1680"_s, u"\u0020\u1680"_s, u"<U+0020><U+1680>"_s);
}

void TestText::ShownText()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QFETCH(QString, name);
    QCOMPARE(::ShownText(text), shown);
    QCOMPARE(::ShownName(text), name);
    // Shown again, nothing changes.
    QCOMPARE(::ShownText(shown), shown);
    QCOMPARE(::ShownName(name), name);
    // A name is shown the same way from its bytes; lone surrogates have none.
    if (QStringView(text).isValidUtf16())
        QCOMPARE(::ShownName(text.toStdString()), name);
}

void TestText::ShownLogLine_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown");
    const QString l_hebrew = u"\u05E9\u05DC\u05D5\u05DD"_s;
    QTest::addRow("logged names") << u"From "_s + ::LoggedName("a\u202E b") + u" and "_s +
                                         ::LoggedName(l_hebrew.toStdString() + " 2 ") +
                                         u": 3 files"_s
                                  << u"From a<U+202E> b and \u2068"_s + l_hebrew +
                                         u" 2<U+0020>\u2069: 3 files"_s;
    QTest::addRow("stray isolates, controls inside")
        << u"\u2068"_s + l_hebrew + u"\u202E\n\u2069\u2069 \u2068x\u2069 \u2068"_s
        << u"\u2068"_s + l_hebrew + u"<U+202E><U+000A>\u2069<U+2069> <U+2068>x<U+2069> <U+2068>"_s;
    QTest::addRow("Arabic digits")
        << u"x "_s + ::LoggedName("\u0663") + u" y"_s << u"x \u2068\u0663\u2069 y"_s;
    QTest::addRow("reordering only through a mark")
        << u"\u2068a\u0605\u2069"_s << u"<U+2068>a<U+0605><U+2069>"_s;
    QTest::addRow("nested") << u"\u2068a\u2068"_s + l_hebrew + u"\u2069\u2069"_s
                            << u"<U+2068>a\u2068"_s + l_hebrew + u"\u2069<U+2069>"_s;
}

// A log line keeps the isolates that its names were given where it was made, and only those.
void TestText::ShownLogLine()
{
    QFETCH(QString, line);
    QFETCH(QString, shown);
    QCOMPARE(::ShownLogLine(line), shown);
    QCOMPARE(::ShownLogLine(shown), shown);
}

void TestText::GetBit()
{
    QVERIFY(::GetBit(5, 1));
    QVERIFY(!::GetBit(5, 2));
    QVERIFY(::GetBit(5, 3));
    QVERIFY(::GetBit(0x80000000u, 32));
    QVERIFY(!::GetBit(0x7fffffffu, 32));
    // The bit number wraps modulo 32 instead of shifting out of range.
    QVERIFY(::GetBit(1, 33));
    QVERIFY(::GetBit(0x80000000u, 0));
    QVERIFY(::GetBit(0x80000000u, INT_MIN));
    QVERIFY(!::GetBit(0x7fffffffu, INT_MIN));
}

QTEST_GUILESS_MAIN(TestText)
#include "tst_text.moc"
