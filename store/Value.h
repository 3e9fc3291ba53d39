#pragma once

#include <QString>

#include <cstdint>
#include <string>
#include <type_traits>

// The key of an item: its value as a byte string. Numbers are written in base 10; the address of
// a live object is written as an unsigned decimal number of the pointer's full width.
class Value
{
public:
    Value(std::string i_text) : m_value(std::move(i_text)) {}
    Value(char const* ip_text) : m_value(ip_text ? ip_text : "") {}
    Value(QString const& i_text);
    Value(int i_number) : m_value(std::to_string(i_number)) {}
    Value(unsigned int i_number) : m_value(std::to_string(i_number)) {}
    Value(long i_number) : m_value(std::to_string(i_number)) {}
    Value(unsigned long i_number) : m_value(std::to_string(i_number)) {}
    Value(long long i_number) : m_value(std::to_string(i_number)) {}
    Value(unsigned long long i_number) : m_value(std::to_string(i_number)) {}

    template <typename T>
    requires(!std::is_same_v<std::remove_cv_t<T>, char>) Value(T* ip_object)
        : Value(static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(ip_object)))
    {
    }

    std::string const& AsString() const { return m_value; }

private:
    std::string m_value;
};
