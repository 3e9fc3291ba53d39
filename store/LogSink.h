#pragma once

#include "ItemPtr.h"

#include <QString>

// Where Log sends its lines: the diagnostics view registers itself here when it is built.
class LogSink
{
public:
    virtual ~LogSink() = default;
    virtual void Log(const QString& i_category, int i_level, const QString& i_message,
                     ItemPtr i_item) = 0;
};

extern LogSink* gp_logSink;
