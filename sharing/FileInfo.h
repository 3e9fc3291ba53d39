#pragma once

#include "AttributeMap.h"
#include "Persistent.h"

#include <QMetaType>
#include <QtGlobal>
#include <string>

// One file as it travels between peers. Sets of records are ordered by name (bytes compared as
// unsigned) and then by size; records with equal name and size are equal, whatever their
// attributes.
class FileInfo final : public Persistent
{
public:
    // A leading zero byte is an end marker: the read stops there with success and the record keeps
    // what it held.
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    bool operator<(const FileInfo& i_other) const;
    bool operator==(const FileInfo& i_other) const;

    // A bare file name, or a path whose folders are separated by "\".
    std::string m_name;
    qint64 m_size = 0;
    AttributeMap m_attributes;
};

Q_DECLARE_METATYPE(FileInfo)
