#include "TransferPaths.h"

#include <QDir>

std::string SafePathComponent(const std::string& i_component)
{
    if (i_component.empty())
        return "_";
    std::string l_safe = i_component;
    for (char& l_char : l_safe)
    {
        const unsigned char l_byte = static_cast<unsigned char>(l_char);
        if (l_byte < 0x20 || l_byte == 0x7f || l_char == '/' || l_char == '\\')
            l_char = '_';
    }
    if (l_safe == "." || l_safe == "..")
        l_safe.assign(l_safe.size(), '_');
    return l_safe;
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
    const qsizetype l_dot = i_fileName.lastIndexOf(QLatin1Char('.'));
    const QString l_number = QStringLiteral(" (%1)").arg(i_number);
    if (l_dot <= 0)
        return i_fileName + l_number;
    return i_fileName.left(l_dot) + l_number + i_fileName.mid(l_dot);
}
