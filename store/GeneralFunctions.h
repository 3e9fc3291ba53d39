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
// Remote names as shown: each direction embedding, override or isolate control (U+202A to
// U+202E, U+2066 to U+2069) shows as the visible text of its code point, such as "<U+202E>",
// instead of reordering what follows, so "x", U+202E, "3pm.exe" shows as "x<U+202E>3pm.exe"
// and cannot pass for an MP3 file. What is stored and sent keeps the control. Text without one
// comes back as it is, uncopied.
QString MarkDirectionControls(const QString& i_text);
// Bytes as text one byte a character, and back: every byte value comes back unchanged, so a
// row, tab or menu entry keeps a name's bytes this way beside the text it shows.
QString FromLatin1(const std::string& i_bytes);
std::string ToLatin1(const QString& i_text);
// Bytes from the store as text: names, paths, file names and chat carry UTF-8.
QString FromUtf8(const std::string& i_bytes);
// A user's or group's name as every view shows it, as a chat line shows its sender: UTF-8, with
// direction controls marked. Bytes that are not UTF-8 show replaced, so the text may not give
// the name back: what acts on the name reads the bytes kept with it.
QString ShownName(const std::string& i_name);

bool GetBit(std::uint32_t i_value, int i_n);
