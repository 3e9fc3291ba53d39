#pragma once

#include <QString>

#include <string>

// Paths of downloads, made from names that other users chose: every component becomes a name
// that stays where it is put.

// The longest file name that the file systems take, in bytes.
constexpr std::size_t maxNameBytes = 255;

// One path component: an empty name, "." or ".." becomes "_", "__"; separators and every code
// point that a shown name marks (HiddenReplaced: controls, line breaks, direction controls...)
// become "_", one each; bytes that are not UTF-8 become U+FFFD; a name longer than maxNameBytes
// is shortened (ShortenedName).
std::string SafePathComponent(const std::string& i_component);
// A name of at most maxNameBytes: its start, cut on a character boundary, a mark made from the
// whole name, so that names that start alike stay apart, and its extension when that is short.
std::string ShortenedName(const std::string& i_name);
// Whether a local path ("/"-separated) lies below the folder, once both are cleaned.
bool IsPathBelowFolder(const QString& i_path, const QString& i_folder);
// "name (n).ext" for the n-th free name of a file; the extension is what follows the last dot.
// The name before the number is cut so that the whole stays within maxNameBytes.
QString NumberedFileName(const QString& i_fileName, int i_number);
