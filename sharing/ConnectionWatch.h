#pragma once

#include "ConnectionInfo.h"
#include "DataHandler.h"

#include <functional>
#include <initializer_list>

class Type;

// Hears every connection made or dropped on items of some types, while started. A stopped watch
// leaves those events unheard, which lets the store load a data file in bulk.
class ConnectionWatch : public DataHandler
{
public:
    explicit ConnectionWatch(std::function<void()> i_onChange);

    // Does nothing when started already.
    void Start(std::initializer_list<Type*> i_types);
    void Stop();

private:
    void OnConnection(ConnectionInfo i_info);

    std::function<void()> m_onChange;
    bool m_started = false;
};
