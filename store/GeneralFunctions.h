#pragma once

#include <QString>

#include <cstdint>
#include <string>

// Path functions take "\" (remote paths) and "/" (local paths) as separators alike.
std::string GetFolder(const std::string& i_path);
std::string GetFileName(const std::string& i_path);
std::string GetParentFolder(const std::string& i_path);
std::string GetFileExtension(const std::string& i_path);
std::string GetAbsoluteFileName(const std::string& i_path);
std::string ReversePathname(const std::string& i_path);

QString CommafyNumber(qint64 i_number);
std::string FormatSeconds(long i_seconds);
// The system's text for an errno value.
QString ErrorText(int i_error);
QString EscapeHTML(const QString& i_text);
QString ConvertLinks(const QString& i_text);
// Whether a character ends a line or a paragraph where text is laid out: LF, VT, FF, CR, the
// separators U+001C to U+001E, U+0085, U+2028 and U+2029, and U+FDD0 and U+FDD1, which a text
// document takes for the edges of a frame and so for paragraph ends.
bool IsLineBreak(QChar i_char);
// Remote text as shown on one line (a cell, a tree row, a tab, a notice, a title, a log line):
// each direction embedding, override or isolate control (U+202A to U+202E, U+2066 to U+2069)
// and each line break shows as the visible text of its code point, such as "<U+202E>" or
// "<U+000A>", instead of reordering what follows or starting a line of its own. So "x", U+202E,
// "3pm.exe" shows as "x<U+202E>3pm.exe" and cannot pass for an MP3 file, and no name reads as
// two rows or hides its end. What is stored and sent keeps the character. Text without one
// comes back as it is, uncopied.
QString ShownText(const QString& i_text);
// Bytes as text one byte a character, and back: every byte value comes back unchanged, so a
// row, tab or menu entry keeps a name's bytes this way beside the text it shows.
QString FromLatin1(const std::string& i_bytes);
std::string ToLatin1(const QString& i_text);
// Bytes from the store as text: names, paths, file names and chat carry UTF-8.
QString FromUtf8(const std::string& i_bytes);
// A user's or group's name as every view shows it, as a chat line shows its sender: UTF-8, with
// direction controls and line breaks marked (ShownText). Bytes that are not UTF-8 show replaced, so
// the text may not give the name back: what acts on the name reads the bytes kept with it.
QString ShownName(const std::string& i_name);

bool GetBit(std::uint32_t i_value, int i_n);
