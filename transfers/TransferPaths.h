#pragma once

#include <QString>

#include <string>

// Paths of downloads, made from names that other users chose: every component becomes a name
// that stays where it is put.

// One path component: an empty name, "." or ".." becomes "_", "__"; separators, NUL and control
// characters become "_".
std::string SafePathComponent(const std::string& i_component);
// Whether a local path ("/"-separated) lies below the folder, once both are cleaned.
bool IsPathBelowFolder(const QString& i_path, const QString& i_folder);
// "name (n).ext" for the n-th free name of a file; the extension is what follows the last dot.
QString NumberedFileName(const QString& i_fileName, int i_number);
