#pragma once
// Analyses shared MP3 files on the shared-files manager's worker thread: the
// MPEG version, channel mode, sampling-rate index, and the bitrate with
// whether it is constant. Requests arrive and results leave as queued calls;
// the scanner never touches the store.

#include <QMutex>
#include <QObject>
#include <QString>

#include <string>

class MP3Scanner : public QObject
{
    Q_OBJECT

public:
    MP3Scanner();
    ~MP3Scanner() override;

    // Any thread: the scan in progress stops before its next block and every
    // later one returns at once without a result.
    void Quit();

    // Reads the whole file (UTF-8 path) and takes the vote; the outputs mean
    // something only when it returns true. `bitrate` is -1 until a result.
    bool ScanMP3(std::string file, int& mpegVersion, std::string& channelMode, int& frequency, bool& isVBR,
                 int& bitrate);

public slots:
    // A failed scan emits nothing and logs nothing: the next walk asks again.
    void OnMP3ScanRequired(QString i_file);

signals:
    void MP3Scanned(QString i_file, int i_mpegVersion, QString i_channelMode, int i_frequency, bool i_isVBR,
                    int i_bitrate);

private:
    bool IsQuitting();

    bool m_quit = false;
    QMutex m_mutex;
};
