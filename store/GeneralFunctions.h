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
QString EscapeHTML(const QString& i_text);
QString ConvertLinks(const QString& i_text);

bool GetBit(std::uint32_t i_value, int i_n);
