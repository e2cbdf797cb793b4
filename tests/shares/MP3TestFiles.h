#pragma once
// Real MP3 files for the scanner's tests and benchmark, made at run time:
// PCM written here (a tone whose pitch and loudness wander, with noise whose
// level changes, so that a variable-bitrate encoder really varies) is saved
// as WAV and encoded with the `lame` command.

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace mp3test
{

inline bool HaveLame()
{
    return !QStandardPaths::findExecutable(QStringLiteral("lame")).isEmpty();
}

inline void PutLE(QByteArray& io_bytes, uint32_t i_value, int i_size)
{
    for (int k = 0; k < i_size; ++k)
        io_bytes.append(char((i_value >> (8 * k)) & 0xFF));
}

// 16-bit PCM WAV of the given rate, channel count and length.
inline bool WriteWav(const QString& i_path, int i_rate, int i_channels, double i_seconds, unsigned i_seed = 1)
{
    const uint32_t frames = uint32_t(i_rate * i_seconds);
    const uint32_t dataBytes = frames * uint32_t(i_channels) * 2;
    QByteArray wav("RIFF");
    PutLE(wav, 36 + dataBytes, 4);
    wav.append("WAVEfmt ");
    PutLE(wav, 16, 4);
    PutLE(wav, 1, 2);
    PutLE(wav, uint32_t(i_channels), 2);
    PutLE(wav, uint32_t(i_rate), 4);
    PutLE(wav, uint32_t(i_rate * i_channels * 2), 4);
    PutLE(wav, uint32_t(i_channels * 2), 2);
    PutLE(wav, 16, 2);
    wav.append("data");
    PutLE(wav, dataBytes, 4);
    wav.reserve(wav.size() + int(dataBytes));

    std::mt19937 random(i_seed);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    double phase = 0;
    for (uint32_t n = 0; n < frames; ++n)
    {
        const double t = double(n) / i_rate;
        const double pitch = 220 + 180 * std::sin(t * 0.7);
        phase += 2 * M_PI * pitch / i_rate;
        const double loudness = 0.5 + 0.45 * std::sin(t * 1.3);
        const double hiss = 0.02 + 0.3 * (0.5 + 0.5 * std::sin(t * 2.9));
        for (int c = 0; c < i_channels; ++c)
        {
            const double sample = loudness * std::sin(phase + c) * 0.6 + hiss * noise(random);
            PutLE(wav, uint32_t(uint16_t(int16_t(std::lround(std::clamp(sample, -1.0, 1.0) * 30000)))), 2);
        }
    }
    QFile file(i_path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(wav) == wav.size();
}

// Encodes a WAV at the given output rate in kHz ("44.1"); the rate is pinned,
// as lame otherwise picks one from the bitrate. Returns lame's complaint, or
// an empty text on success.
inline QString EncodeWithLame(const QString& i_wav, const QString& i_mp3, const QString& i_rate,
                              const QStringList& i_options)
{
    if (!HaveLame())
        return QStringLiteral("the `lame` command is missing: install it (scripts/setup-deps)");
    QProcess lame;
    lame.setProcessChannelMode(QProcess::MergedChannels);
    lame.start(QStringLiteral("lame"), QStringList{QStringLiteral("--quiet"), QStringLiteral("--resample"), i_rate} +
                                           i_options + QStringList{i_wav, i_mp3});
    if (!lame.waitForFinished(120000) || lame.exitStatus() != QProcess::NormalExit || lame.exitCode() != 0)
        return QStringLiteral("lame failed: ") + QString::fromLocal8Bit(lame.readAll());
    return QString();
}

} // namespace mp3test
