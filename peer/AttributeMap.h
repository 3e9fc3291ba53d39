#pragma once

#include "Persistent.h"

#include <QtGlobal>
#include <string>
#include <utility>
#include <vector>

// A shared file's extension and its audio attributes as pairs of code and value, kept in the order
// read or added; a code may repeat.
class AttributeMap final : public Persistent
{
public:
    enum Code : quint32
    {
        Bitrate = 0,
        LengthSeconds = 1,
        // Non-zero means a variable bitrate.
        VariableBitrate = 2,
    };

    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    void Add(quint32 i_code, quint32 i_value) { m_attributes.emplace_back(i_code, i_value); }
    bool operator==(const AttributeMap& i_other) const;

    std::string m_extension;
    std::vector<std::pair<quint32, quint32>> m_attributes;
};
