#pragma once

#include <cstdint>

class DataHandler;

// Root of every store event handler. A handler is owned by the event (or pair set) that holds it;
// its subscriber only marks it removed.
class EventHandlerRoot
{
public:
    EventHandlerRoot() : m_serial(s_nextSerial++) {}
    EventHandlerRoot(EventHandlerRoot const&) = delete;
    EventHandlerRoot& operator=(EventHandlerRoot const&) = delete;
    virtual ~EventHandlerRoot();

    bool IsRemoved() const { return m_removed; }
    // Creation order: handler sets are kept in it so that every run calls handlers alike.
    std::uint64_t Serial() const { return m_serial; }

    bool m_removed = false;

private:
    friend class DataHandler;

    inline static std::uint64_t s_nextSerial = 1;
    std::uint64_t m_serial;
    // The live subscriber that recorded this handler; null once the subscriber is gone.
    DataHandler* mp_owner = nullptr;
};

#include "DataHandler.h"

inline EventHandlerRoot::~EventHandlerRoot()
{
    if (mp_owner)
        mp_owner->ForgetHandler(this);
}
