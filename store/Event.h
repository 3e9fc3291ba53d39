#pragma once

#include "EventHandlerBase.h"

#include <algorithm>
#include <cstddef>
#include <vector>

// A store event: a set of handlers ordered by their creation serial. Notifying walks a copy of
// the set; handlers marked removed are skipped and deleted once no walk of this event runs.
template <typename T> class Event
{
public:
    using Handler = EventHandlerBase<T>;

    Event() = default;
    Event(Event const&) = delete;
    Event& operator=(Event const&) = delete;

    ~Event()
    {
        for (Handler* lp_handler : m_handlers)
            delete lp_handler;
    }

    void AddHandler(Handler* ip_handler)
    {
        auto l_at = std::lower_bound(m_handlers.begin(), m_handlers.end(), ip_handler, SerialLess);
        if (l_at != m_handlers.end() && *l_at == ip_handler)
            return;
        m_handlers.insert(l_at, ip_handler);
    }

    void Notify(T& i_argument)
    {
        std::size_t const l_count = m_handlers.size();
        if (l_count == 0)
            return;
        // Most events have a handler or two: copy them without touching the heap.
        constexpr std::size_t kInline = 8;
        Handler* l_inline[kInline];
        std::vector<Handler*> l_heap;
        Handler** lp_copy = l_inline;
        if (l_count > kInline)
        {
            l_heap = m_handlers;
            lp_copy = l_heap.data();
        }
        else
            std::copy(m_handlers.begin(), m_handlers.end(), l_inline);

        Walk l_walk(*this);
        for (std::size_t l_index = 0; l_index < l_count; ++l_index)
        {
            Handler* lp_handler = lp_copy[l_index];
            if (lp_handler->m_removed)
                m_holdsRemoved = true;
            else
                lp_handler->Handle(i_argument);
        }
    }

    bool IsEmpty() const { return m_handlers.empty(); }
    // Whether a notification would reach a handler: removed ones wait for a walk to go.
    bool IsHeard() const
    {
        return std::any_of(m_handlers.begin(), m_handlers.end(),
                           [](Handler const* ip_handler) { return !ip_handler->m_removed; });
    }
    std::size_t HandlerCount() const { return m_handlers.size(); }

private:
    // Counts the walks in progress; the last one to end deletes the removed handlers.
    struct Walk
    {
        explicit Walk(Event& i_event) : m_event(i_event) { ++m_event.m_walks; }
        ~Walk()
        {
            if (--m_event.m_walks == 0 && m_event.m_holdsRemoved)
                m_event.DeleteRemoved();
        }
        Event& m_event;
    };

    static bool SerialLess(Handler const* ip_a, Handler const* ip_b)
    {
        return ip_a->Serial() < ip_b->Serial();
    }

    void DeleteRemoved()
    {
        m_holdsRemoved = false;
        auto l_end = std::remove_if(m_handlers.begin(), m_handlers.end(),
                                    [](Handler* ip_handler)
                                    {
                                        if (!ip_handler->m_removed)
                                            return false;
                                        delete ip_handler;
                                        return true;
                                    });
        m_handlers.erase(l_end, m_handlers.end());
    }

    std::vector<Handler*> m_handlers;
    int m_walks = 0;
    bool m_holdsRemoved = false;
};
