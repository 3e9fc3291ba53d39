#pragma once

#include "DataHandler.h"
#include "EventHandlerBase.h"

// Calls a member function of a DataHandler-derived object. Making it records it with the object.
template <typename C, typename T> class EventHandler : public EventHandlerBase<T>
{
public:
    using Method = void (C::*)(T);

    EventHandler(C* ip_object, Method i_method) : mp_object(ip_object), m_method(i_method)
    {
        static_cast<DataHandler*>(ip_object)->RecordHandler(this);
    }

    void Handle(T i_argument) override { (mp_object->*m_method)(i_argument); }

private:
    C* mp_object;
    Method m_method;
};
