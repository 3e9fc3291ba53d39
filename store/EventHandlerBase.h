#pragma once

#include "EventHandlerRoot.h"

// A handler of events whose argument is of type T.
template <typename T> class EventHandlerBase : public EventHandlerRoot
{
public:
    virtual void Handle(T i_argument) = 0;
};
