#pragma once

#include <QString>

class QAbstractItemView;

// The tool tip that shows the text as it is, for a name or path that its tab, button or cell
// may cut short: a tool tip left to guess its format takes text such as "<b>x</b>" or "&lt;" for
// markup and loses characters, marks included. Spaces and line breaks stay as they are, and the
// tip breaks no line of its own: a name shows on one line, as its cell would show it whole.
QString PlainToolTip(const QString& i_text);
// Gives each cell of the list or tree its whole text as its tool tip (PlainToolTip), made when
// the pointer rests on the cell: rows keep no second copy of their texts.
void ShowCellTextsAsToolTips(QAbstractItemView* ip_view);
