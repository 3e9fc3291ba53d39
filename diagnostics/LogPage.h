#pragma once

class QTextBrowser;
class QWidget;

// Every paragraph of the browser is laid out from left to right, whatever its first letter: a
// line the client composes keeps its order (time stamp, then sender, then text) when a remote
// name or text in it starts with a right-to-left letter or mark.
void KeepLinesLeftToRight(QTextBrowser* ip_browser);

// A page of log lines: plain text added by the caller, no links followed, no undo history, lines
// laid out from left to right.
QTextBrowser* NewLogPage(QWidget* ip_parent);
