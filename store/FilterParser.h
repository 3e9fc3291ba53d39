#pragma once

#include "ItemPtr.h"

#include <QString>
#include <QStringList>

// The filter that the user types over search results and browsed shares: words that must or
// must not occur in a file's text, and conditions on its bitrate, mode and size.
class FilterParser
{
public:
    enum Match
    {
        Matches = 0,
        LacksIncludedWord = 1,
        FilteredOut = 2
    };

    FilterParser();

    // Adds the words and conditions of the text; resets nothing.
    void Parse(const QString& i_text);

    // Tests the text and, unless it is null, the file's attribute items. With a residual filter,
    // that filter receives the conditions still to be met by another text of the same file:
    // this filter's attribute conditions and excluded words, and the included words that the
    // text lacked.
    int IsMatching(const QString& i_text, FilterParser* ip_residual, ItemPtr i_file) const;

    bool HasAttributes() const { return m_hasAttributes; }
    int MinFilesInFolder() const { return m_minFilesInFolder; }

private:
    void CopyConditionsTo(FilterParser& i_other) const;

    QStringList m_includedWords;
    QStringList m_excludedWords;
    int m_minBitrate;
    bool m_isVbr;
    bool m_isCbr;
    qint64 m_minFileSize;
    int m_minFilesInFolder;
    bool m_hasAttributes;
};
