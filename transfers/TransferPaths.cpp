#include "TransferPaths.h"

#include "GeneralFunctions.h"

#include <QDir>

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace
{
// An extension longer than this is taken for part of the name when a name is shortened.
constexpr std::size_t maxExtensionBytes = 16;

// The length of the longest start of the text within i_bytes that ends on a UTF-8 character
// boundary.
std::size_t FittingLength(const std::string& i_text, std::size_t i_bytes)
{
    if (i_text.size() <= i_bytes)
        return i_text.size();
    std::size_t l_end = i_bytes;
    while (l_end > 0 && (static_cast<unsigned char>(i_text[l_end]) & 0xc0) == 0x80)
        --l_end;
    return l_end;
}

// 64-bit FNV-1a: the same on every run, so that a shortened name is found again after a restart.
std::uint64_t NameHash(const std::string& i_name)
{
    std::uint64_t l_hash = 0xcbf29ce484222325ULL;
    for (char l_char : i_name)
    {
        l_hash ^= static_cast<unsigned char>(l_char);
        l_hash *= 0x100000001b3ULL;
    }
    return l_hash;
}

// Where the extension of a name starts: its last dot, unless that is its first character.
std::size_t ExtensionStart(const std::string& i_name)
{
    const std::size_t l_dot = i_name.rfind('.');
    return l_dot == std::string::npos || l_dot == 0 ? i_name.size() : l_dot;
}
} // namespace

std::string SafePathComponent(const std::string& i_component)
{
    if (i_component.empty())
        return "_";
    // The name is measured as it reaches the disk: bytes that are not UTF-8 are written as
    // U+FFFD, three bytes each, so the name is decoded before it is cut.
    // What a name view marks (controls, line breaks, direction controls...) would let a file
    // manager show another name: "invoice", U+202E, "fdp.exe" ends in ".pdf" there.
    QString l_name = HiddenReplaced(FromUtf8(i_component), QChar(u'_'));
    std::replace_if(
        l_name.begin(), l_name.end(),
        [](QChar i_char) { return i_char == u'/' || i_char == u'\\'; }, QChar(u'_'));
    std::string l_safe = l_name.toStdString();
    if (l_safe == "." || l_safe == "..")
        l_safe.assign(l_safe.size(), '_');
    return ShortenedName(l_safe);
}

std::string ShortenedName(const std::string& i_name)
{
    if (i_name.size() <= maxNameBytes)
        return i_name;
    std::size_t l_stemEnd = ExtensionStart(i_name);
    if (i_name.size() - l_stemEnd > maxExtensionBytes)
        l_stemEnd = i_name.size();
    char l_mark[32];
    std::snprintf(l_mark, sizeof l_mark, "~%016llx",
                  static_cast<unsigned long long>(NameHash(i_name)));
    const std::string l_tail = l_mark + i_name.substr(l_stemEnd);
    const std::string l_stem = i_name.substr(0, l_stemEnd);
    return l_stem.substr(0, FittingLength(l_stem, maxNameBytes - l_tail.size())) + l_tail;
}

bool IsPathBelowFolder(const QString& i_path, const QString& i_folder)
{
    if (i_folder.isEmpty())
        return false;
    QString l_folder = QDir::cleanPath(i_folder);
    // Only the root keeps its separator.
    if (!l_folder.endsWith(QLatin1Char('/')))
        l_folder += QLatin1Char('/');
    const QString l_path = QDir::cleanPath(i_path);
    return l_path.size() > l_folder.size() && l_path.startsWith(l_folder);
}

QString NumberedFileName(const QString& i_fileName, int i_number)
{
    const std::string l_name = i_fileName.toStdString();
    const std::string l_number = " (" + std::to_string(i_number) + ")";
    std::size_t l_stemEnd = ExtensionStart(l_name);
    // An extension that leaves no room for the number is numbered as part of the name.
    if (l_name.size() - l_stemEnd + l_number.size() > maxNameBytes)
        l_stemEnd = l_name.size();
    const std::string l_tail = l_number + l_name.substr(l_stemEnd);
    const std::string l_stem = l_name.substr(0, l_stemEnd);
    return QString::fromStdString(
        l_stem.substr(0, FittingLength(l_stem, maxNameBytes - l_tail.size())) + l_tail);
}
