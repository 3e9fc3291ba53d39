#include "Log.h"

#include "LogSink.h"

#include <QDateTime>

LogSink* gp_logSink = nullptr;

void Log(const QString& i_category, int i_level, const QString& i_message, ItemPtr i_item)
{
    if (gp_logSink)
        gp_logSink->Log(i_category, i_level, i_message, i_item);
}

QString FormatLogLine(int i_level, const QString& i_message)
{
    const int l_indent = i_level > 1 ? 3 * (i_level - 1) : 0;
    return QStringLiteral("[") + QDateTime::currentDateTime().toString(Qt::TextDate) +
           QStringLiteral("] ") + QString(l_indent, QLatin1Char(' ')) + i_message;
}
