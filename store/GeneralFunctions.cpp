#include "GeneralFunctions.h"

#include <QRegularExpression>
#include <QVarLengthArray>

#include <unicode/uchar.h>
#include <unicode/uscript.h>

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
constexpr char32_t zeroWidthNonJoiner = 0x200C;
constexpr char32_t zeroWidthJoiner = 0x200D;
constexpr char32_t textSelector = 0xFE0E;
constexpr char32_t emojiSelector = 0xFE0F;
constexpr char32_t combiningKeycap = 0x20E3;
constexpr char32_t objectReplacement = 0xFFFC;
constexpr char32_t brailleBlank = 0x2800;
constexpr char32_t blackFlag = 0x1F3F4;
constexpr char32_t cancelTag = 0xE007F;
constexpr std::uint8_t viramaClass = 9;

// What draws as nothing, or as something else than itself: Unicode's Default_Ignorable_Code_Point,
// controls, format characters, lone surrogates, private use, unassigned code points and
// noncharacters, the object replacement character (which a rich-text page takes for an object),
// and every line break.
bool IsHidden(char32_t i_code)
{
    if (i_code < 0x80)
        return i_code < 0x20 || i_code == 0x7F;
    switch (u_charType(UChar32(i_code)))
    {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
            return true;
        default:
            return i_code == objectReplacement ||
                   u_hasBinaryProperty(UChar32(i_code), UCHAR_DEFAULT_IGNORABLE_CODE_POINT);
    }
}

// Unicode's White_Space, and the Braille blank, which draws as nothing in most fonts.
bool IsBlank(char32_t i_code)
{
    return i_code == 0x20 || i_code == brailleBlank ||
           (i_code > 0x20 && u_isUWhiteSpace(UChar32(i_code)));
}

bool HasProperty(char32_t i_code, UProperty i_property)
{
    return u_hasBinaryProperty(UChar32(i_code), i_property);
}

int JoiningType(char32_t i_code)
{
    return u_getIntPropertyValue(UChar32(i_code), UCHAR_JOINING_TYPE);
}

bool IsTagSpec(char32_t i_code)
{
    return i_code >= 0xE0020 && i_code <= 0xE007E;
}

bool IsKeycapBase(char32_t i_code)
{
    return i_code == u'#' || i_code == u'*' || (i_code >= u'0' && i_code <= u'9');
}

enum class Ends
{
    Kept,
    Marked
};

// Whether a UTF-16 unit may take part in a mark. Text with none comes back uncopied; a surrogate
// is of the category Cs, so everything beyond the first plane takes the slow way.
bool MayBeMarked(QStringView i_text, qsizetype i_index, Ends i_ends)
{
    const char16_t l_unit = i_text[i_index].unicode();
    if (IsHidden(l_unit))
        return true;
    if (i_ends == Ends::Kept || !IsBlank(l_unit))
        return false;
    // In a name a single space between two characters that are not blanks stays.
    return l_unit != u' ' || i_index == 0 || i_index + 1 == i_text.size() ||
           IsBlank(i_text[i_index + 1].unicode()) || IsBlank(i_text[i_index - 1].unicode());
}

// The code points of the text; a lone surrogate stays as its own value, so that it is marked.
QVarLengthArray<char32_t, 128> CodePoints(QStringView i_text)
{
    QVarLengthArray<char32_t, 128> l_codes;
    l_codes.reserve(i_text.size());
    for (qsizetype l_index = 0; l_index < i_text.size(); ++l_index)
    {
        const char16_t l_unit = i_text[l_index].unicode();
        if (QChar::isHighSurrogate(l_unit) && l_index + 1 < i_text.size() &&
            QChar::isLowSurrogate(i_text[l_index + 1].unicode()))
            l_codes.append(QChar::surrogateToUcs4(l_unit, i_text[++l_index].unicode()));
        else
            l_codes.append(l_unit);
    }
    return l_codes;
}

// Decides which code points of a text show as marks. Joiners and selectors are kept only where
// Unicode gives them work, so that a name cannot take one in and still pass for another.
class MarkedCodes
{
public:
    MarkedCodes(const QVarLengthArray<char32_t, 128>& i_codes, Ends i_ends)
        : m_codes(i_codes), m_blankEnd(i_codes.size())
    {
        if (i_ends == Ends::Kept)
            return;
        m_blanksInside = true;
        while (m_blankBegin < m_blankEnd && IsBlank(m_codes[m_blankBegin]))
            ++m_blankBegin;
        while (m_blankEnd > m_blankBegin && IsBlank(m_codes[m_blankEnd - 1]))
            --m_blankEnd;
    }

    // Asked in order of the index.
    bool IsMarked(qsizetype i_index)
    {
        const char32_t l_code = m_codes[i_index];
        if (i_index < m_blankBegin || i_index >= m_blankEnd)
            return true;
        if (m_blanksInside && IsBlank(l_code))
            return l_code != u' ' || IsBlank(m_codes[i_index - 1]);
        return IsHidden(l_code) && !IsKept(i_index);
    }

private:
    char32_t At(qsizetype i_index) const
    {
        return i_index >= 0 && i_index < m_codes.size() ? m_codes[i_index] : 0;
    }

    bool IsKept(qsizetype i_index)
    {
        const char32_t l_code = m_codes[i_index];
        const char32_t l_before = At(i_index - 1);
        if (l_code == zeroWidthNonJoiner || l_code == zeroWidthJoiner)
        {
            if (u_getCombiningClass(UChar32(l_before)) == viramaClass)
                return true;
            return l_code == zeroWidthNonJoiner ? JoinsAcross(i_index) : InEmojiSequence(i_index);
        }
        if (l_code == textSelector || l_code == emojiSelector)
            return KeepsSelector(l_before, At(i_index + 1));
        if (l_code >= 0xE0100 && l_code <= 0xE01EF)
            return HasProperty(l_before, UCHAR_UNIFIED_IDEOGRAPH);
        if ((l_code >= 0x180B && l_code <= 0x180D) || l_code == 0x180F)
            return u_getIntPropertyValue(UChar32(l_before), UCHAR_SCRIPT) == USCRIPT_MONGOLIAN &&
                   (U_GET_GC_MASK(UChar32(l_before)) & U_GC_L_MASK) != 0;
        if (IsTagSpec(l_code) || l_code == cancelTag)
            return InFlagSequence(i_index);
        return false;
    }

    // A non-joiner between a letter that joins towards it and one that joins back, with only
    // transparent marks between. Format characters are transparent too, but they show as marks,
    // which join nothing.
    bool JoinsAcross(qsizetype i_index) const
    {
        qsizetype l_before = i_index - 1;
        while (l_before >= 0 && IsTransparent(m_codes[l_before]))
            --l_before;
        qsizetype l_after = i_index + 1;
        while (l_after < m_codes.size() && IsTransparent(m_codes[l_after]))
            ++l_after;
        if (l_before < 0 || l_after >= m_codes.size())
            return false;
        const int l_left = JoiningType(m_codes[l_before]);
        const int l_right = JoiningType(m_codes[l_after]);
        return (l_left == U_JT_LEFT_JOINING || l_left == U_JT_DUAL_JOINING) &&
               (l_right == U_JT_RIGHT_JOINING || l_right == U_JT_DUAL_JOINING);
    }

    static bool IsTransparent(char32_t i_code)
    {
        return JoiningType(i_code) == U_JT_TRANSPARENT && !IsHidden(i_code);
    }

    // A joiner between two pictographs, the first of which may carry U+FE0F or a skin tone.
    // Unassigned code points reserved for pictographs are marked, and so mark the joiner.
    bool InEmojiSequence(qsizetype i_index) const
    {
        qsizetype l_before = i_index - 1;
        if ((At(l_before) == emojiSelector && KeepsSelector(At(l_before - 1), At(i_index))) ||
            HasProperty(At(l_before), UCHAR_EMOJI_MODIFIER))
            --l_before;
        return IsPictograph(At(l_before)) && IsPictograph(At(i_index + 1));
    }

    // A variation selector after an emoji; after "#", "*" or a digit only in a keycap.
    static bool KeepsSelector(char32_t i_before, char32_t i_after)
    {
        return HasProperty(i_before, UCHAR_EMOJI) &&
               (!IsKeycapBase(i_before) || i_after == combiningKeycap);
    }

    static bool IsPictograph(char32_t i_code)
    {
        return HasProperty(i_code, UCHAR_EXTENDED_PICTOGRAPHIC) && !IsHidden(i_code);
    }

    // Tag characters right after the black flag and ended by the cancel tag: a flag such as
    // England's. Each run of tags is looked at once.
    bool InFlagSequence(qsizetype i_index)
    {
        if (i_index >= m_tagRunEnd)
        {
            qsizetype l_end = i_index;
            while (l_end < m_codes.size() && IsTagSpec(m_codes[l_end]))
                ++l_end;
            m_tagRunKept =
                l_end > i_index && At(i_index - 1) == blackFlag && At(l_end) == cancelTag;
            m_tagRunEnd = l_end + 1;
        }
        return m_tagRunKept;
    }

    const QVarLengthArray<char32_t, 128>& m_codes;
    qsizetype m_blankBegin = 0;
    qsizetype m_blankEnd;
    bool m_blanksInside = false;
    qsizetype m_tagRunEnd = 0;
    bool m_tagRunKept = false;
};

QString Mark(char32_t i_code)
{
    return QStringLiteral("<U+") +
           QString::number(i_code, 16).toUpper().rightJustified(4, QLatin1Char('0')) +
           QLatin1Char('>');
}

void AppendCode(QString& io_text, char32_t i_code)
{
    if (QChar::requiresSurrogates(i_code))
        io_text.append(QChar(QChar::highSurrogate(i_code)))
            .append(QChar(QChar::lowSurrogate(i_code)));
    else
        io_text.append(QChar(char16_t(i_code)));
}

// The text with each marked code point replaced by what i_replace makes of it.
template <typename Replace> QString Replaced(const QString& i_text, Ends i_ends, Replace i_replace)
{
    bool l_plain = true;
    for (qsizetype l_index = 0; l_index < i_text.size() && l_plain; ++l_index)
        l_plain = !MayBeMarked(i_text, l_index, i_ends);
    if (l_plain)
        return i_text;

    const QVarLengthArray<char32_t, 128> l_codes = CodePoints(i_text);
    MarkedCodes l_marked(l_codes, i_ends);
    QString l_result;
    l_result.reserve(i_text.size() + 16);
    bool l_anyMarked = false;
    for (qsizetype l_index = 0; l_index < l_codes.size(); ++l_index)
    {
        if (l_marked.IsMarked(l_index))
        {
            l_anyMarked = true;
            l_result += i_replace(l_codes[l_index]);
        }
        else
            AppendCode(l_result, l_codes[l_index]);
    }
    return l_anyMarked ? l_result : i_text;
}

QString Shown(const QString& i_text, Ends i_ends)
{
    return Replaced(i_text, i_ends, Mark);
}
} // namespace

QString HiddenReplaced(const QString& i_text, QChar i_replacement)
{
    return Replaced(i_text, Ends::Kept,
                    [i_replacement](char32_t) { return QString(i_replacement); });
}

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
    for (qsizetype l_index = 0; l_index < i_text.size(); ++l_index)
    {
        char32_t l_code = i_text[l_index].unicode();
        if (QChar::isHighSurrogate(l_code) && l_index + 1 < i_text.size() &&
            QChar::isLowSurrogate(i_text[l_index + 1].unicode()))
            l_code = QChar::surrogateToUcs4(char16_t(l_code), i_text[++l_index].unicode());
        const UCharDirection l_direction = u_charDirection(UChar32(l_code));
        if (l_direction == U_RIGHT_TO_LEFT || l_direction == U_RIGHT_TO_LEFT_ARABIC ||
            l_direction == U_ARABIC_NUMBER)
            return true;
    }
    return false;
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
        const QString l_inside =
            ShownText(i_line.mid(l_since + l_start + 1, l_end - l_since - l_start - 1));
        // Only what Isolated makes of shown text: a stray, outer or needless isolate shows as its
        // mark.
        if (!Reorders(l_inside))
            continue;
        l_shown += ShownText(i_line.mid(l_done, l_since + l_start - l_done)) + isolateStart +
                   l_inside + isolateEnd;
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
    // Qt drops a byte order mark that starts the bytes; a name keeps every character it was
    // sent with, so that U+FEFF before "alice" shows as its mark.
    QString l_text = QString::fromUtf8(i_bytes.data(), qsizetype(i_bytes.size()));
    if (i_bytes.starts_with("\xEF\xBB\xBF"))
        l_text.prepend(QChar(u'\uFEFF'));
    return l_text;
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
