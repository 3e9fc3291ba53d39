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
// each code point that draws as nothing or as something else than itself shows as the visible
// text of its code point, such as "<U+202E>", "<U+000A>" or "<U+E0041>", instead of reordering
// what follows, starting a line of its own or hiding between letters. Those are Unicode's
// Default_Ignorable_Code_Point (direction controls, zero width characters, the soft hyphen,
// fillers, tags...), the categories Cc, Cf, Cs, Co and Cn (controls, format characters, lone
// surrogates, private use, unassigned code points and noncharacters), U+FFFC and every line
// break. So "x", U+202E, "3pm.exe" shows as "x<U+202E>3pm.exe" and cannot pass for an MP3 file,
// "ali", U+200B, "ce" cannot pass for "alice", and no name reads as two rows or hides its end.
// Joiners and selectors stay only where Unicode gives them work: U+200C and U+200D after a virama,
// U+200C between letters that join across it, U+200D between pictographs, U+FE0E and U+FE0F after
// an emoji (after "#", "*" or a digit only in a keycap), the tags of a flag such as England's, an
// ideographic variation selector after an ideograph and a Mongolian one after a Mongolian letter.
// What is stored and sent keeps every character. Text without a mark comes back as it is,
// uncopied.
QString ShownText(const QString& i_text);
// The text with each code point that ShownText marks replaced by i_replacement, one each.
QString HiddenReplaced(const QString& i_text, QChar i_replacement);
// The text as one unit of a line laid out from left to right: inside it runs in its own
// direction, outside it moves no number, bracket or word beside it (it is put between U+2068 and
// U+2069 when it holds a right-to-left letter or an Arabic digit). For shown text (ShownText),
// whose own direction controls are marked.
QString Isolated(const QString& i_text);
// A remote name (UTF-8 bytes) or text as a log line holds it: shown and isolated, so that the
// line's page shows it on one line, in its own direction, moving nothing beside it.
QString LoggedName(const std::string& i_name);
QString LoggedText(const QString& i_text);
// A log line as its page shows it: marked as ShownText marks, except the isolates that Isolated
// makes, which stay whole with what they hold marked.
QString ShownLogLine(const QString& i_line);
// Bytes as text one byte a character, and back: every byte value comes back unchanged, so a
// row, tab or menu entry keeps a name's bytes this way beside the text it shows.
QString FromLatin1(const std::string& i_bytes);
std::string ToLatin1(const QString& i_text);
// Bytes from the store as text: names, paths, file names and chat carry UTF-8. A byte order mark
// at the start stays, as every other character does.
QString FromUtf8(const std::string& i_bytes);
// A user's, room's or group's name as every view shows it, as a chat line shows its sender:
// UTF-8, marked as ShownText marks, and with every blank (Unicode's White_Space and U+2800) at
// either end or inside marked too, but for a single U+0020 between two other characters, so that
// "alice" and a space cannot pass for "alice", nor "al", U+00A0, "ice" or "al  ice" for "al ice".
// Bytes that are not
// UTF-8 show replaced, so the text may not give the name back: what acts on the name reads the
// bytes kept with it.
QString ShownName(const std::string& i_name);
QString ShownName(const QString& i_name);

bool GetBit(std::uint32_t i_value, int i_n);
