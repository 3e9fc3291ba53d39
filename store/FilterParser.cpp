#include "FilterParser.h"

#include <limits>

namespace
{
constexpr qint64 bytesPerMegabyte = 1000000;

// Takes the rest of the word when it starts with either form of a keyword.
bool StartsWithEither(const QString& i_word, QLatin1StringView i_long, QLatin1StringView i_short,
                      QString& i_value)
{
    if (i_word.startsWith(i_long))
    {
        i_value = i_word.mid(i_long.size());
        return true;
    }
    if (i_word.startsWith(i_short))
    {
        i_value = i_word.mid(i_short.size());
        return true;
    }
    return false;
}

// Megabytes to bytes, held at the ends of the range rather than overflowing.
qint64 MegabytesToBytes(qint64 i_megabytes)
{
    constexpr qint64 l_max = std::numeric_limits<qint64>::max();
    constexpr qint64 l_min = std::numeric_limits<qint64>::min();
    if (i_megabytes > l_max / bytesPerMegabyte)
        return l_max;
    if (i_megabytes < l_min / bytesPerMegabyte)
        return l_min;
    return i_megabytes * bytesPerMegabyte;
}
} // namespace

FilterParser::FilterParser()
    : m_minBitrate(0), m_isVbr(false), m_isCbr(false), m_minFileSize(0), m_minFilesInFolder(0),
      m_hasAttributes(false)
{
}

void FilterParser::Parse(const QString& i_text)
{
    const QStringList l_words = i_text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString& l_word : l_words)
    {
        QString l_value;
        if (l_word.startsWith(QLatin1Char('-')))
        {
            if (l_word.size() > 1)
                m_excludedWords.append(l_word.mid(1));
        }
        else if (l_word == QLatin1StringView("isvbr"))
        {
            m_isVbr = true;
            m_hasAttributes = true;
        }
        else if (l_word == QLatin1StringView("iscbr"))
        {
            m_isCbr = true;
            m_hasAttributes = true;
        }
        else if (StartsWithEither(l_word, QLatin1StringView("minbitrate:"),
                                  QLatin1StringView("mbr:"), l_value))
        {
            m_minBitrate = l_value.toInt();
            m_hasAttributes = true;
        }
        else if (StartsWithEither(l_word, QLatin1StringView("minfilesize:"),
                                  QLatin1StringView("mfs:"), l_value))
        {
            m_minFileSize = MegabytesToBytes(l_value.toLongLong());
            m_hasAttributes = true;
        }
        else if (StartsWithEither(l_word, QLatin1StringView("minfilesinfolder:"),
                                  QLatin1StringView("mfif:"), l_value))
        {
            m_minFilesInFolder = l_value.toInt();
        }
        else
        {
            m_includedWords.append(l_word);
        }
    }
}

int FilterParser::IsMatching(const QString& i_text, FilterParser* ip_residual, ItemPtr i_file) const
{
    if (ip_residual != nullptr)
    {
        ip_residual->m_includedWords.clear();
        ip_residual->m_excludedWords.clear();
    }

    if (!i_file.IsNull())
    {
        const std::string l_mode = i_file["bitrate_mode"].AsString();
        if (m_isVbr && l_mode != "vbr")
            return FilteredOut;
        if (m_isCbr && l_mode != "cbr")
            return FilteredOut;
        if (i_file["bitrate"].AsInt() < m_minBitrate)
            return FilteredOut;
        if (i_file["file_size"].AsInt64() < m_minFileSize)
            return FilteredOut;
    }

    if (ip_residual != nullptr)
        CopyConditionsTo(*ip_residual);

    for (const QString& l_word : m_excludedWords)
        if (i_text.contains(l_word, Qt::CaseInsensitive))
            return FilteredOut;

    if (ip_residual != nullptr)
        ip_residual->m_excludedWords = m_excludedWords;

    for (const QString& l_word : m_includedWords)
    {
        if (i_text.contains(l_word, Qt::CaseInsensitive))
            continue;
        if (ip_residual == nullptr)
            return LacksIncludedWord;
        ip_residual->m_includedWords.append(l_word);
    }

    if (ip_residual != nullptr && !ip_residual->m_includedWords.isEmpty())
        return LacksIncludedWord;
    return Matches;
}

void FilterParser::CopyConditionsTo(FilterParser& i_other) const
{
    i_other.m_minBitrate = m_minBitrate;
    i_other.m_isVbr = m_isVbr;
    i_other.m_isCbr = m_isCbr;
    i_other.m_minFileSize = m_minFileSize;
    i_other.m_minFilesInFolder = m_minFilesInFolder;
    i_other.m_hasAttributes = m_hasAttributes;
}
