#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

#include <string>

// Reads the frame headers of an MP3 file for its MPEG version, channel mode, sampling-frequency
// index and bitrate. Lives on the sharing worker thread and never touches the store.
class MP3Scanner : public QObject
{
    Q_OBJECT

public:
    // Only this much of a file is read, so that one file costs bounded time; real files are
    // read whole up to several hours of 320 kbit/s audio.
    static constexpr qint64 MaxScannedBytes = qint64(256) * 1024 * 1024;

    // Makes every scan not yet finished give up at its next chunk; later requests return at once.
    void Quit();

    // True when the outputs hold a result; i_path is UTF-8.
    bool ScanMP3(const std::string& i_path, int& i_mpegVersion, std::string& i_channelMode,
                 int& i_frequency, bool& i_isVBR, int& i_bitrate);

signals:
    // i_file is the path exactly as requested: its bytes one character each.
    void MP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency,
                    bool i_isVBR, int i_bitrate);

public slots:
    // i_file carries the path's bytes one character each.
    void OnMP3ScanRequired(QString i_file);

private:
    bool QuitRequested();

    bool m_quitRequested = false;
    QMutex m_mutex;
};
