#pragma once

#include "FileInfo.h"

#include <QMetaType>
#include <map>
#include <set>
#include <string>

// A user's shared files: each folder (a path with "\" separators) with its files.
using FileInfoMap = std::map<std::string, std::set<FileInfo>>;

Q_DECLARE_METATYPE(FileInfoMap)
