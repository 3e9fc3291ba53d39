#include "FuzzChecks.h"
#include "GeneralFunctions.h"

#include <QString>

#include <string>

#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>

// Names and texts from other users as the views and the log show them. The checks read Unicode's
// data themselves, in a simpler form than the program's rules.
namespace
{
constexpr char32_t isolateStart = 0x2068;
constexpr char32_t isolateEnd = 0x2069;

// What draws as nothing or as something else than itself, as one set of Unicode's properties.
bool IsHidden(char32_t i_code)
{
    static const icu::UnicodeSet hidden = []
    {
        UErrorCode l_status = U_ZERO_ERROR;
        icu::UnicodeSet l_set(
            UNICODE_STRING_SIMPLE(
                "[[:Default_Ignorable_Code_Point:][:Cc:][:Cf:][:Cs:][:Co:][:Cn:][:Zl:][:Zp:]"
                "\\uFFFC]"),
            l_status);
        Require(U_SUCCESS(l_status), "the set of hidden characters is read");
        l_set.freeze();
        return l_set;
    }();
    return hidden.contains(UChar32(i_code));
}

bool IsBlank(char32_t i_code)
{
    return i_code == 0x2800 || u_isUWhiteSpace(UChar32(i_code));
}

// The joiners and selectors that a sequence may keep.
bool MayBeKept(char32_t i_code)
{
    return i_code == 0x200C || i_code == 0x200D || i_code == 0xFE0E || i_code == 0xFE0F ||
           (i_code >= 0xE0020 && i_code <= 0xE007F) || (i_code >= 0xE0100 && i_code <= 0xE01EF) ||
           (i_code >= 0x180B && i_code <= 0x180D) || i_code == 0x180F;
}

// The code points of a text, lone surrogates as their own values.
std::u32string CodePoints(const QString& i_text)
{
    std::u32string l_codes;
    for (qsizetype l_index = 0; l_index < i_text.size(); ++l_index)
    {
        const char16_t l_unit = i_text[l_index].unicode();
        if (QChar::isHighSurrogate(l_unit) && l_index + 1 < i_text.size() &&
            QChar::isLowSurrogate(i_text[l_index + 1].unicode()))
            l_codes += QChar::surrogateToUcs4(l_unit, i_text[++l_index].unicode());
        else
            l_codes += l_unit;
    }
    return l_codes;
}

// What shows as itself though it draws as nothing is a joiner or selector that follows a
// character shown as itself (a mark ends in ">"), never an isolate outside a pair.
void CheckShown(const QString& i_shown, bool i_isolates)
{
    const std::u32string l_codes = CodePoints(i_shown);
    int l_depth = 0;
    for (std::size_t l_index = 0; l_index < l_codes.size(); ++l_index)
    {
        const char32_t l_code = l_codes[l_index];
        if (i_isolates && (l_code == isolateStart || l_code == isolateEnd))
        {
            l_depth += l_code == isolateStart ? 1 : -1;
            Require(l_depth == 0 || l_depth == 1, "isolates pair, one at a time");
            continue;
        }
        if (!IsHidden(l_code))
            continue;
        Require(MayBeKept(l_code), "only a joiner or selector shows as itself");
        Require(l_index > 0 && l_codes[l_index - 1] != u'>',
                "a kept joiner or selector follows a character shown as itself");
    }
    Require(l_depth == 0, "every isolate is closed");
}

void CheckName(const QString& i_shown)
{
    CheckShown(i_shown, false);
    const std::u32string l_codes = CodePoints(i_shown);
    for (std::size_t l_index = 0; l_index < l_codes.size(); ++l_index)
        if (IsBlank(l_codes[l_index]))
            Require(l_codes[l_index] == u' ' && l_index > 0 && l_index + 1 < l_codes.size() &&
                        !IsBlank(l_codes[l_index - 1]) && !IsBlank(l_codes[l_index + 1]),
                    "a name shows only single spaces between other characters");
}

void CheckText(const QString& i_text, char32_t i_added, std::size_t i_at)
{
    const QString l_text = ShownText(i_text);
    const QString l_name = ShownName(i_text);
    CheckShown(l_text, false);
    CheckName(l_name);
    Require(ShownText(l_text) == l_text, "text shown again stays as it is");
    Require(ShownName(l_name) == l_name, "a name shown again stays as it is");

    const QString l_line = ShownLogLine(i_text);
    CheckShown(l_line, true);
    Require(ShownLogLine(l_line) == l_line, "a log line shown again stays as it is");
    CheckShown(Isolated(l_text), true);
    const QString l_logged = QStringLiteral("From ") + LoggedText(i_text) +
                             QStringLiteral(" and ") + LoggedName(i_text.toStdString()) +
                             QStringLiteral(": 3 files");
    Require(ShownLogLine(l_logged) == l_logged, "a log line keeps the names it was made with");

    // One more character that draws as nothing never leaves the name as it showed.
    if (!IsHidden(i_added))
        return;
    std::u32string l_codes = CodePoints(i_text);
    l_codes.insert(i_at % (l_codes.size() + 1), 1, i_added);
    // Built by hand: decoding UTF-32 would drop a byte order mark at the start.
    QString l_longer;
    for (const char32_t l_code : l_codes)
        l_longer += QStringView(QChar::fromUcs4(l_code)).toString();
    Require(ShownName(l_longer) != l_name, "a name with a hidden character added shows apart");
}
} // namespace

// The first four bytes choose a code point to add and where; the rest is the text, read as UTF-8
// and as UTF-16, which brings lone surrogates.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* ip_data, std::size_t i_size)
{
    if (i_size < 4)
        return 0;
    const char32_t l_added = (char32_t(ip_data[0]) << 16 | char32_t(ip_data[1]) << 8 | ip_data[2]) %
                             (QChar::LastValidCodePoint + 1);
    const std::size_t l_at = ip_data[3];
    const std::string l_bytes(reinterpret_cast<const char*>(ip_data + 4), i_size - 4);
    CheckText(FromUtf8(l_bytes), l_added, l_at);
    Require(ShownName(l_bytes) == ShownName(FromUtf8(l_bytes)),
            "a name shows alike from its bytes");
    CheckText(
        QString(reinterpret_cast<const QChar*>(l_bytes.data()), qsizetype(l_bytes.size() / 2)),
        l_added, l_at);
    return 0;
}
