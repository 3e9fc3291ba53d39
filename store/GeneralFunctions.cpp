#include "GeneralFunctions.h"

#include <QRegularExpression>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>

namespace
{
bool IsSeparator(char i_char)
{
    return i_char == '\\' || i_char == '/';
}

std::size_t FindLastSeparator(const std::string& i_path)
{
    return i_path.find_last_of("\\/");
}

std::string WithoutOneTrailingSeparator(const std::string& i_path)
{
    if (!i_path.empty() && IsSeparator(i_path.back()))
        return i_path.substr(0, i_path.size() - 1);
    return i_path;
}

char LowerByte(char i_char)
{
    // tolower takes an unsigned char value; a plain char above 127 would be negative.
    return static_cast<char>(std::tolower(static_cast<unsigned char>(i_char)));
}
} // namespace

std::string GetFolder(const std::string& i_path)
{
    const std::string l_trimmed = WithoutOneTrailingSeparator(i_path);
    const std::size_t l_separator = FindLastSeparator(l_trimmed);
    if (l_separator == std::string::npos)
        return l_trimmed;
    return l_trimmed.substr(0, l_separator);
}

std::string GetFileName(const std::string& i_path)
{
    const std::string l_trimmed = WithoutOneTrailingSeparator(i_path);
    const std::size_t l_separator = FindLastSeparator(l_trimmed);
    if (l_separator == std::string::npos)
        return l_trimmed;
    return l_trimmed.substr(l_separator + 1);
}

std::string GetParentFolder(const std::string& i_path)
{
    const std::size_t l_last = i_path.find_last_not_of('\\');
    if (l_last == std::string::npos)
        return std::string();
    return GetFolder(i_path.substr(0, l_last + 1));
}

std::string GetFileExtension(const std::string& i_path)
{
    const std::size_t l_dot = i_path.rfind('.');
    if (l_dot == std::string::npos)
        return std::string();
    std::string l_extension = i_path.substr(l_dot + 1);
    for (char& l_char : l_extension)
        l_char = LowerByte(l_char);
    return l_extension;
}

std::string GetAbsoluteFileName(const std::string& i_path)
{
    std::string l_result;
    l_result.reserve(i_path.size());
    for (char l_char : i_path)
    {
        if (IsSeparator(l_char) && !l_result.empty() && IsSeparator(l_result.back()))
            continue;
        l_result.push_back(LowerByte(l_char));
    }
    if (!l_result.empty() && IsSeparator(l_result.back()))
        l_result.pop_back();
    return l_result;
}

std::string ReversePathname(const std::string& i_path)
{
    std::string l_result;
    l_result.reserve(i_path.size());
    std::size_t l_end = i_path.size();
    while (l_end > 0)
    {
        if (IsSeparator(i_path[l_end - 1]))
        {
            --l_end;
            continue;
        }
        std::size_t l_begin = l_end;
        while (l_begin > 0 && !IsSeparator(i_path[l_begin - 1]))
            --l_begin;
        if (!l_result.empty())
            l_result.push_back('/');
        l_result.append(i_path, l_begin, l_end - l_begin);
        l_end = l_begin;
    }
    return l_result;
}

QString CommafyNumber(qint64 i_number)
{
    // Written from the end into a buffer: lists show one figure per row.
    char16_t l_buffer[32];
    char16_t* lp_start = std::end(l_buffer);
    int l_digits = 0;
    while (i_number > 0)
    {
        *--lp_start = static_cast<char16_t>(u'0' + i_number % 10);
        i_number /= 10;
        if (++l_digits % 3 == 0 && i_number > 0)
            *--lp_start = u',';
    }
    if (lp_start == std::end(l_buffer))
        return {};
    return QString(reinterpret_cast<const QChar*>(lp_start), std::end(l_buffer) - lp_start);
}

std::string FormatSeconds(long i_seconds)
{
    const long l_minutes = i_seconds / 60;
    const long l_hours = l_minutes / 60;
    const long l_days = l_hours / 24;
    std::string l_result;
    if (l_days != 0)
        l_result += std::to_string(l_days) + 'd';
    if (l_days != 0 || l_hours % 24 != 0)
        l_result += std::to_string(l_hours % 24) + 'h';
    l_result += std::to_string(l_minutes % 60) + 'm';
    l_result += std::to_string(i_seconds % 60) + 's';
    return l_result;
}

QString ErrorText(int i_error)
{
    return QString::fromLocal8Bit(std::strerror(i_error));
}

QString EscapeHTML(const QString& i_text)
{
    QString l_result = i_text;
    l_result.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    l_result.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    l_result.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    return l_result;
}

QString ConvertLinks(const QString& i_text)
{
    // The scheme must start a word. Letters, digits, combining marks and "_" of every script are
    // word characters here; a plain \b would count only ASCII ones. The text is escaped HTML:
    // "&amp;" is one character of an address, and "&lt;" or "&gt;" (no characters of one) end
    // it, so that a link never cuts an entity or takes in what was markup.
    static const QRegularExpression link(
        QStringLiteral("(?<![\\p{L}\\p{N}\\p{M}_])(https?://"
                       "(?:[-a-zA-Z0-9+@#/%?=~_|!:,.;]|&amp;)[-a-zA-Z0-9+@#/%?=~_|!:,.;]*"
                       "(?:&amp;[-a-zA-Z0-9+@#/%?=~_|!:,.;]*)*(?<=[a-zA-Z0-9+@#/%=~_|]|&amp;))"));
    QString l_result = i_text;
    l_result.replace(link, QStringLiteral("<a href=\"\\1\">\\1</a>"));
    return l_result;
}

bool IsLineBreak(QChar i_char)
{
    switch (i_char.unicode())
    {
        case 0x000A:
        case 0x000B:
        case 0x000C:
        case 0x000D:
        case 0x001C:
        case 0x001D:
        case 0x001E:
        case 0x0085:
        case 0x2028:
        case 0x2029:
        case 0xFDD0:
        case 0xFDD1:
            return true;
        default:
            return false;
    }
}

namespace
{
struct CodeRange
{
    char32_t m_first;
    char32_t m_last;
};

// Default_Ignorable_Code_Point in Unicode 15.
constexpr CodeRange defaultIgnorables[] = {
    {0x00AD, 0x00AD},   {0x034F, 0x034F},  {0x061C, 0x061C}, {0x115F, 0x1160}, {0x17B4, 0x17B5},
    {0x180B, 0x180F},   {0x200B, 0x200F},  {0x202A, 0x202E}, {0x2060, 0x206F}, {0x3164, 0x3164},
    {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},  {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF}};

// White_Space in Unicode 15, and the Braille blank, which draws as nothing in most fonts.
constexpr CodeRange blanks[] = {{0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085},
                                {0x00A0, 0x00A0}, {0x1680, 0x1680}, {0x2000, 0x200A},
                                {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F},
                                {0x2800, 0x2800}, {0x3000, 0x3000}};

template <std::size_t Count> bool IsIn(const CodeRange (&i_ranges)[Count], char32_t i_code)
{
    return std::any_of(std::begin(i_ranges), std::end(i_ranges),
                       [i_code](const CodeRange& i_range)
                       { return i_code >= i_range.m_first && i_code <= i_range.m_last; });
}

bool IsDefaultIgnorable(char32_t i_code)
{
    return i_code >= 0xAD && IsIn(defaultIgnorables, i_code);
}

bool IsBlank(char32_t i_code)
{
    return IsIn(blanks, i_code);
}

bool IsJoiner(char32_t i_code)
{
    return i_code == 0x200C || i_code == 0x200D;
}

bool IsVariationSelector(char32_t i_code)
{
    return i_code >= 0xFE00 && i_code <= 0xFE0F;
}

// Whether a UTF-16 unit may take part in a mark: a line break, an ignorable code point of the
// first plane, or the leading surrogate of one beyond it. Plain text has none, and goes uncopied.
bool MayBeMarked(QChar i_char)
{
    const char16_t l_code = i_char.unicode();
    if (l_code < 0xAD)
        return IsLineBreak(i_char);
    return IsLineBreak(i_char) || IsDefaultIgnorable(l_code) || l_code == 0xD82F ||
           l_code == 0xD834 || (l_code >= 0xDB40 && l_code <= 0xDB43);
}

QString Mark(char32_t i_code)
{
    return QStringLiteral("<U+") +
           QString::number(i_code, 16).toUpper().rightJustified(4, QLatin1Char('0')) +
           QLatin1Char('>');
}

enum class Ends
{
    Kept,
    Marked
};

QString Shown(const QString& i_text, Ends i_ends)
{
    const bool l_blankAtAnEnd =
        i_ends == Ends::Marked && !i_text.isEmpty() &&
        (IsBlank(i_text.front().unicode()) || IsBlank(i_text.back().unicode()));
    if (!l_blankAtAnEnd && std::none_of(i_text.cbegin(), i_text.cend(), MayBeMarked))
        return i_text;

    const QList<uint> l_codes = i_text.toUcs4();
    const qsizetype l_count = l_codes.size();
    const auto l_isHidden = [](char32_t i_code)
    {
        return IsDefaultIgnorable(i_code) ||
               (i_code <= 0xFFFF && IsLineBreak(QChar(char16_t(i_code))));
    };
    // The blanks at the ends of a name, which pass for nothing.
    qsizetype l_blankBegin = 0;
    qsizetype l_blankEnd = l_count;
    if (i_ends == Ends::Marked)
    {
        while (l_blankBegin < l_count && IsBlank(l_codes[l_blankBegin]))
            ++l_blankBegin;
        while (l_blankEnd > l_blankBegin && IsBlank(l_codes[l_blankEnd - 1]))
            --l_blankEnd;
    }
    // What scripts and emoji join to: a character that draws, is not ASCII and is not a blank.
    const auto l_isJoinable = [&](qsizetype i_index)
    {
        const char32_t l_code = l_codes[i_index];
        return l_code >= 0x80 && !l_isHidden(l_code) && !IsBlank(l_code);
    };

    QString l_shown;
    l_shown.reserve(i_text.size() + 16);
    bool l_anyMarked = false;
    bool l_keptSelector = false;
    for (qsizetype l_index = 0; l_index < l_count; ++l_index)
    {
        const char32_t l_code = l_codes[l_index];
        bool l_marked = l_index < l_blankBegin || l_index >= l_blankEnd || l_isHidden(l_code);
        // Kept where scripts and emoji need them: a joiner or non-joiner between two such
        // characters (a kept selector may come first, as in U+2764 U+FE0F U+200D U+1F525), a
        // variation selector right after one.
        if (IsJoiner(l_code) && l_index > 0 && l_index + 1 < l_count)
            l_marked =
                !((l_isJoinable(l_index - 1) || l_keptSelector) && l_isJoinable(l_index + 1));
        else if (IsVariationSelector(l_code) && l_index > 0)
            l_marked = !l_isJoinable(l_index - 1);
        l_keptSelector = IsVariationSelector(l_code) && !l_marked;
        l_anyMarked = l_anyMarked || l_marked;
        if (l_marked)
            l_shown += Mark(l_code);
        else if (QChar::requiresSurrogates(l_code))
            l_shown.append(QChar(QChar::highSurrogate(l_code)))
                .append(QChar(QChar::lowSurrogate(l_code)));
        else
            l_shown += QChar(char16_t(l_code));
    }
    return l_anyMarked ? l_shown : i_text;
}
} // namespace

QString ShownText(const QString& i_text)
{
    return Shown(i_text, Ends::Kept);
}

namespace
{
// Whether the text holds what moves its neighbours in a line laid out from left to right: a
// right-to-left letter or an Arabic digit.
bool Reorders(QStringView i_text)
{
    const QList<uint> l_codes = i_text.toUcs4();
    return std::any_of(l_codes.cbegin(), l_codes.cend(),
                       [](uint i_code)
                       {
                           const QChar::Direction l_direction = QChar::direction(char32_t(i_code));
                           return l_direction == QChar::DirR || l_direction == QChar::DirAL ||
                                  l_direction == QChar::DirAN;
                       });
}

constexpr QChar isolateStart = QChar(u'\u2068');
constexpr QChar isolateEnd = QChar(u'\u2069');
} // namespace

QString Isolated(const QString& i_text)
{
    // Text that moves nothing stays as it is, and copies as it is.
    return Reorders(i_text) ? isolateStart + i_text + isolateEnd : i_text;
}

QString LoggedName(const std::string& i_name)
{
    return Isolated(ShownName(i_name));
}

QString LoggedText(const QString& i_text)
{
    return Isolated(ShownText(i_text));
}

QString ShownLogLine(const QString& i_line)
{
    QString l_shown;
    qsizetype l_done = 0;
    // An isolate holds neither end of another: each end pairs with the nearest start since the
    // end before it, so that the line is read once whatever it holds.
    qsizetype l_since = 0;
    for (qsizetype l_end = i_line.indexOf(isolateEnd); l_end >= 0;
         l_since = l_end + 1, l_end = i_line.indexOf(isolateEnd, l_since))
    {
        const qsizetype l_start =
            QStringView(i_line).mid(l_since, l_end - l_since).lastIndexOf(isolateStart);
        if (l_start < 0)
            continue;
        const QStringView l_inside =
            QStringView(i_line).mid(l_since + l_start + 1, l_end - l_since - l_start - 1);
        // Only what Isolated makes: a stray, outer or needless isolate shows as its mark.
        if (!Reorders(l_inside))
            continue;
        l_shown += ShownText(i_line.mid(l_done, l_since + l_start - l_done)) + isolateStart +
                   ShownText(l_inside.toString()) + isolateEnd;
        l_done = l_end + 1;
    }
    return l_done == 0 ? ShownText(i_line) : l_shown + ShownText(i_line.mid(l_done));
}

QString FromLatin1(const std::string& i_bytes)
{
    return QString::fromLatin1(i_bytes.data(), qsizetype(i_bytes.size()));
}

std::string ToLatin1(const QString& i_text)
{
    return i_text.toLatin1().toStdString();
}

QString FromUtf8(const std::string& i_bytes)
{
    return QString::fromUtf8(i_bytes.data(), qsizetype(i_bytes.size()));
}

QString ShownName(const QString& i_name)
{
    return Shown(i_name, Ends::Marked);
}

QString ShownName(const std::string& i_name)
{
    return ShownName(FromUtf8(i_name));
}

bool GetBit(std::uint32_t i_value, int i_n)
{
    const unsigned int l_shift = (static_cast<unsigned int>(i_n) - 1u) % 32;
    return ((i_value >> l_shift) & 1u) != 0;
}
