#pragma once

#include <set>

class EventHandlerRoot;

// Base of every class that subscribes to store events. Destroying it marks its handlers removed;
// the events that hold them delete them later.
class DataHandler
{
public:
    DataHandler() = default;
    DataHandler(DataHandler const&) = delete;
    DataHandler& operator=(DataHandler const&) = delete;
    virtual ~DataHandler();

    void RemoveDataHandlers();

    // Called by the handlers themselves: when they are made, and when an event deletes a live one.
    void RecordHandler(EventHandlerRoot* ip_handler);
    void ForgetHandler(EventHandlerRoot* ip_handler);

private:
    struct HandlerLess
    {
        bool operator()(EventHandlerRoot const* ip_a, EventHandlerRoot const* ip_b) const;
    };
    std::set<EventHandlerRoot*, HandlerLess> m_handlers;
};
