#pragma once

#include <QMetaType>
#include <map>
#include <string>

// Texts for attribute codes that a share list may carry after its folders; passed on unread.
using AttributeTranslationTable = std::map<int, std::string>;

Q_DECLARE_METATYPE(AttributeTranslationTable)
