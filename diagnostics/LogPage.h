#pragma once

class QTextBrowser;
class QWidget;

// Every paragraph of the browser is laid out from left to right, whatever its first letter: a
// line the client composes keeps its order (time stamp, then sender, then text) when a remote
// name or text in it starts with a right-to-left letter or mark. A paragraph that wraps draws
// its continuation lines indented, so that at any width only a line's real start stands at the
// left edge, and no remote text wrapped to a line's start can pass for a line of its own.
void LayOutLines(QTextBrowser* ip_browser);

// A page of log lines: plain text added by the caller, no links followed, no undo history, lines
// laid out as LayOutLines says.
QTextBrowser* NewLogPage(QWidget* ip_parent);
