#pragma once

#include "InputStream.h"

#include <QString>

#include <string>

class QPlainTextEdit;
class QTreeWidget;
class QWidget;

// Set first by the main window's destructor: from then on the tool bars ignore destroyed
// widgets, focus changes and clicks.
extern bool g_showIsOver;

// Makes the compiled-in icons (":/icons/...") available; safe to call more than once.
void InitIconResources();

// The text for a tab title, menu title or action text, where "&" would mark a shortcut: names
// from other users show as they are.
QString EscapeAmpersands(QString i_text);

// The text for a window title, where "[*]" would mark the place of the modified-window star:
// names from other users show as they are.
QString EscapeTitlePlaceholders(QString i_text);

// Widens the column, if it is narrower, to show the text in the tree's font with the margin
// beside it: the widest figure the column usually shows. A width restored from an earlier run
// may be narrower; the figure wins.
void FitColumnToText(QTreeWidget* ip_tree, int i_column, const QString& i_text, int i_margin);
// The same for a column of sizes in bytes: files of gigabytes are common.
void FitColumnToSizes(QTreeWidget* ip_tree, int i_column);

// The longest line a chat entry field takes: what a message may carry.
constexpr int MaxChatLineLength = InputStream::MaxReadLength;
// Why the chat line, as sent, does not fit in a message; empty when it fits.
QString ChatLineTooLongText(const std::string& i_line);
// Whether the chat line, as sent, fits in a message; if not, the chat's lines say so.
bool ChatLineFits(const std::string& i_line, QPlainTextEdit* ip_lines);

// Marks the widget that takes the keyboard focus when its tab page becomes current: of the
// visible marked widgets of a page, the one of highest priority wins (0 or less never does).
// A widget visible now takes the focus at once.
void RegisterWidgetForTabFocus(QWidget* ip_widget, int i_priority);

// Focuses the visible marked widget of highest priority in the widget (itself included; the
// first met wins among equals) and returns that priority, or i_best when none beats it.
int FindWidgetFocusProperty(QWidget* ip_widget, int i_best);

// Activates the widget's window, focuses the widget and makes current every tab page that
// encloses it, innermost first.
void FocusWidgetAndParents(QWidget* ip_widget);
// The name the views use for the same.
void FocusWidget(QWidget* ip_widget);
