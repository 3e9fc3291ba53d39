#pragma once

#include <QString>

// The tool tip that shows the text as it is, for a name or path that its tab, button or cell
// may cut short: a tool tip left to guess its format takes text such as "<b>x</b>" or "&lt;" for
// markup and loses characters, marks included. Spaces and line breaks stay as they are, and the
// tip breaks no line of its own: a name shows on one line, as its cell would show it whole.
QString PlainToolTip(const QString& i_text);
