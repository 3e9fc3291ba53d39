#include "ConnectionWatch.h"

#include "EventHandler.h"
#include "Type.h"

ConnectionWatch::ConnectionWatch(std::function<void()> i_onChange)
    : m_onChange(std::move(i_onChange))
{
}

void ConnectionWatch::Start(std::initializer_list<Type*> i_types)
{
    if (m_started)
        return;
    m_started = true;
    for (Type* lp_type : i_types)
        for (Event<ConnectionInfo>* lp_event :
             {&lp_type->m_connectionEvent, &lp_type->m_disconnectionEvent})
            lp_event->AddHandler(new EventHandler<ConnectionWatch, ConnectionInfo>(
                this, &ConnectionWatch::OnConnection));
}

void ConnectionWatch::Stop()
{
    if (!m_started)
        return;
    m_started = false;
    RemoveDataHandlers();
}

void ConnectionWatch::OnConnection(ConnectionInfo)
{
    if (m_started)
        m_onChange();
}
