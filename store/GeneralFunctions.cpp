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

QString ShownText(const QString& i_text)
{
    const auto l_isMarked = [](QChar i_char)
    {
        const char16_t l_code = i_char.unicode();
        return (l_code >= 0x202A && l_code <= 0x202E) || (l_code >= 0x2066 && l_code <= 0x2069) ||
               IsLineBreak(i_char);
    };
    if (std::none_of(i_text.cbegin(), i_text.cend(), l_isMarked))
        return i_text;
    QString l_shown;
    l_shown.reserve(i_text.size() + 16);
    for (const QChar l_char : i_text)
        if (l_isMarked(l_char))
            l_shown += QStringLiteral("<U+") +
                       QString::number(l_char.unicode(), 16)
                           .toUpper()
                           .rightJustified(4, QLatin1Char('0')) +
                       QLatin1Char('>');
        else
            l_shown += l_char;
    return l_shown;
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

QString ShownName(const std::string& i_name)
{
    return ShownText(FromUtf8(i_name));
}

bool GetBit(std::uint32_t i_value, int i_n)
{
    const unsigned int l_shift = (static_cast<unsigned int>(i_n) - 1u) % 32;
    return ((i_value >> l_shift) & 1u) != 0;
}
