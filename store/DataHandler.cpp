#include "DataHandler.h"

#include "EventHandlerRoot.h"

bool DataHandler::HandlerLess::operator()(EventHandlerRoot const* ip_a,
                                          EventHandlerRoot const* ip_b) const
{
    return ip_a->Serial() < ip_b->Serial();
}

DataHandler::~DataHandler()
{
    RemoveDataHandlers();
}

void DataHandler::RemoveDataHandlers()
{
    for (EventHandlerRoot* lp_handler : m_handlers)
    {
        lp_handler->m_removed = true;
        lp_handler->mp_owner = nullptr;
    }
    m_handlers.clear();
}

void DataHandler::RecordHandler(EventHandlerRoot* ip_handler)
{
    ip_handler->mp_owner = this;
    m_handlers.insert(ip_handler);
}

void DataHandler::ForgetHandler(EventHandlerRoot* ip_handler)
{
    m_handlers.erase(ip_handler);
}
