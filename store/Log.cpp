#include "Log.h"

#include "LogSink.h"
#include "LogTime.h"

#include <QCoreApplication>
#include <QThread>

LogSink* gp_logSink = nullptr;

void Log(const QString& i_category, int i_level, const QString& i_message, ItemPtr i_item)
{
    // The receiver is a view of the main thread: a line from any other thread goes there queued.
    // The item stays behind, as no receiver reads it and it may be gone by then.
    QCoreApplication* lp_application = QCoreApplication::instance();
    if (lp_application && QThread::currentThread() != lp_application->thread())
    {
        QMetaObject::invokeMethod(
            lp_application,
            [i_category, i_level, i_message] { Log(i_category, i_level, i_message); },
            Qt::QueuedConnection);
        return;
    }
    // Lines logged while no receiver exists are dropped.
    if (gp_logSink)
        gp_logSink->Log(i_category, i_level, i_message, i_item);
}

QString FormatLogLine(int i_level, const QString& i_message)
{
    return FormatLogLine(LogTime::Now(), i_level, i_message);
}

QString FormatLogLine(const QString& i_time, int i_level, const QString& i_message)
{
    const int l_indent = i_level > 1 ? 3 * (i_level - 1) : 0;
    return QStringLiteral("[") + i_time + QStringLiteral("] ") +
           QString(l_indent, QLatin1Char(' ')) + i_message;
}
