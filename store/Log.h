#pragma once

#include "ItemPtr.h"

#include <QString>

// The one logging call of the program: forwards to the diagnostics page of the category. Safe
// from any thread: lines from other threads than the main one reach the page queued.
void Log(const QString& i_category, int i_level, const QString& i_message,
         ItemPtr i_item = ItemPtr());

// "[" + the local date and time in Qt's text format + "] " + three blanks per level above 1
// + the message.
QString FormatLogLine(int i_level, const QString& i_message);
// The same line for a time given as text.
QString FormatLogLine(const QString& i_time, int i_level, const QString& i_message);
