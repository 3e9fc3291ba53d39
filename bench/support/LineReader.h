#pragma once

#include <QByteArray>
#include <QList>
#include <QSocketNotifier>

#include <functional>

// Whole lines from a pipe between the two processes of a soak, read as the event loop runs.
class LineReader
{
public:
    explicit LineReader(int i_pipe);

    // The next line, waiting at most i_timeoutMs; empty on time-out or at the end of the pipe.
    QByteArray Next(int i_timeoutMs);
    // Writes the line and its end to the pipe.
    static void Write(int i_pipe, const QByteArray& i_line);

    // When set, each line goes here instead of waiting for Next; m_onEnd is called at the end.
    std::function<void(const QByteArray&)> m_onLine;
    std::function<void()> m_onEnd;

private:
    void Read();

    int m_pipe;
    QSocketNotifier m_notifier;
    QByteArray m_pending;
    QList<QByteArray> m_lines;
    bool m_ended = false;
};
