#pragma once

#include "AttributeMap.h"
#include "ItemPtr.h"
#include "Persistent.h"

#include <QMetaType>
#include <QtGlobal>
#include <string>

// One file as it travels between peers: a presence byte (1), the name, the 64-bit size and the
// attributes. Sets of records are ordered by name alone, bytes compared as unsigned, so a set
// holds one record per name.
class FileInfo final : public Persistent
{
public:
    // A presence byte of 0 ends the read there with success; the record keeps what it held.
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    bool operator<(const FileInfo& i_other) const;
    // Every field equal.
    bool operator==(const FileInfo& i_other) const;

    // The record of an own `shared_file`: named by its full path with "\" separators, or by its
    // bare name; an mp3 file carries its bitrate and bitrate mode when the scanner found them.
    static FileInfo FromSharedFile(ItemPtr i_file, bool i_fullPath);

    // A bare file name, or a path whose folders are separated by "\".
    std::string m_name;
    qint64 m_size = 0;
    AttributeMap m_attributes;
};

Q_DECLARE_METATYPE(FileInfo)
