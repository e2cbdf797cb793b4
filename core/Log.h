#pragma once
// The one logging entry point. Lines go to whatever sink the diagnostics view
// has installed; with no sink they are dropped, so core code and its tests
// need no window. Main thread only: worker threads hand their lines over
// through queued calls.

#include "Data.h"

#include <QDateTime>
#include <QString>

#include <functional>

using LogSink = std::function<void(const QString& i_category, int i_level, const QString& i_text, ItemPtr i_item)>;

// Hands the line to the sink. The level is nesting depth (1 = top level),
// not severity; the item is what the line is about, or null.
void Log(const QString& i_category, int i_level, const QString& i_text, ItemPtr i_item = ItemPtr());

// Replaces the sink; an empty function removes it.
void SetLogSink(LogSink i_sink);
void ClearLogSink();
bool HasLogSink();

// The shown form of a line: "[" + time in Qt's text format + "] " + the text
// indented by three spaces per level above 1 (none for 1, 0 or below).
QString FormatLogLine(int i_level, const QString& i_text,
                      const QDateTime& i_when = QDateTime::currentDateTime());
