#include "LineReader.h"

#include <QTest>

#include <unistd.h>

#include <cstdio>

LineReader::LineReader(int i_pipe) : m_pipe(i_pipe), m_notifier(i_pipe, QSocketNotifier::Read)
{
    QObject::connect(&m_notifier, &QSocketNotifier::activated, [this] { Read(); });
}

QByteArray LineReader::Next(int i_timeoutMs)
{
    if (!QTest::qWaitFor([this] { return !m_lines.isEmpty() || m_ended; }, i_timeoutMs))
        return QByteArray();
    return m_lines.isEmpty() ? QByteArray() : m_lines.takeFirst();
}

void LineReader::Write(int i_pipe, const QByteArray& i_line)
{
    const QByteArray l_line = i_line + '\n';
    if (::write(i_pipe, l_line.constData(), size_t(l_line.size())) != ssize_t(l_line.size()))
        std::perror("pipe");
}

void LineReader::Read()
{
    char l_buffer[512];
    const ssize_t l_read = ::read(m_pipe, l_buffer, sizeof l_buffer);
    if (l_read <= 0)
    {
        m_ended = true;
        m_notifier.setEnabled(false);
        if (m_onEnd)
            m_onEnd();
        return;
    }
    m_pending.append(l_buffer, l_read);
    for (qsizetype l_end; (l_end = m_pending.indexOf('\n')) >= 0;)
    {
        const QByteArray l_line = m_pending.left(l_end);
        m_pending.remove(0, l_end + 1);
        if (m_onLine)
            m_onLine(l_line);
        else
            m_lines.append(l_line);
    }
}
