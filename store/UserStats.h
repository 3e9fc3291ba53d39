#pragma once

#include "Persistent.h"

#include <QMetaType>
#include <QtGlobal>

// A user's statistics as the server reports them: 20 bytes on the wire, in member order.
class UserStats final : public Persistent
{
public:
    bool Read(InputStream& i_stream) override;
    bool Write(OutputStream& i_stream) const override;

    bool operator==(const UserStats& i_other) const;

    quint32 m_averageSpeed = 0;
    // Carried as received; the client gives it no meaning.
    quint64 m_reserved64 = 0;
    quint32 m_sharedFilesCount = 0;
    // Carried as received; the client gives it no meaning.
    quint32 m_reserved32 = 0;
};

Q_DECLARE_METATYPE(UserStats)
