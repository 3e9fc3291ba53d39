#pragma once

#include "FileInfo.h"
#include "Persistent.h"

#include <set>

// The files of one folder: their count, the records by name, then a 32-bit end marker (0 when
// written, any value accepted when read).
class SharedFolderInfo final : public Persistent
{
public:
    // The records are read one after another into one working record, so one that holds only a
    // presence byte of 0 repeats the record before it.
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    std::set<FileInfo> m_files;
};
