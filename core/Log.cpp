#include "Log.h"

#include <utility>

namespace {

LogSink& Sink()
{
    static LogSink sink;
    return sink;
}

} // namespace

void Log(const QString& i_category, int i_level, const QString& i_text, ItemPtr i_item)
{
    // A copy, so that a sink that removes itself while handling a line is
    // not destroyed while it runs.
    const LogSink sink = Sink();
    if (sink)
        sink(i_category, i_level, i_text, i_item);
}

void SetLogSink(LogSink i_sink)
{
    Sink() = std::move(i_sink);
}

void ClearLogSink()
{
    Sink() = LogSink();
}

bool HasLogSink()
{
    return bool(Sink());
}

QString FormatLogLine(int i_level, const QString& i_text, const QDateTime& i_when)
{
    QString indented;
    for (int level = i_level; level > 1; --level)
        indented += QLatin1String("   ");
    indented += i_text;
    return QLatin1Char('[') + i_when.toString(Qt::TextDate) + QLatin1String("] ") + indented;
}
