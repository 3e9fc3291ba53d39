#include "Data.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>

namespace
{
bool g_crashAssertAborts = true;

bool IsConnectionTrigger(PathNodeRelation i_relation)
{
    return i_relation == RequireConnected || i_relation == OnConnect;
}

bool IsDisconnectionTrigger(PathNodeRelation i_relation)
{
    return i_relation == RequireAbsent || i_relation == OnDisconnect;
}
} // namespace

void CrashAssert(bool i_condition)
{
    if (i_condition)
        return;
    if (g_crashAssertAborts)
    {
        std::fputs("Item store: misuse or broken invariant, stopping.\n", stderr);
        std::abort();
    }
}

void SetCrashAssertAborts(bool i_aborts)
{
    g_crashAssertAborts = i_aborts;
}

Data d;

ItemSet g(std::string_view i_type)
{
    return d.GetType(i_type)->GetItems();
}

ItemPtr i(std::string_view i_type, Value const& i_value)
{
    return d.GetType(i_type)->GetItem(i_value);
}

bool Data::TypePairLess::operator()(TypePair const& i_a, TypePair const& i_b) const
{
    return std::make_tuple(i_a.first->Serial(), i_a.second->Serial()) <
           std::make_tuple(i_b.first->Serial(), i_b.second->Serial());
}

Data::Data() = default;

Data::~Data()
{
    // Taken down silently: nothing is told of removals or disconnections at exit.
    for (PathNodeHandlerInfo* lp_info : m_pathSubscriptions)
    {
        delete lp_info->mp_handler;
        delete lp_info->mp_root;
        delete lp_info;
    }
    m_pathSubscriptions.clear();
    for (auto const& l_entry : m_connectionEventHandlers)
        delete l_entry.second;
    for (auto const& l_entry : m_disconnectionEventHandlers)
        delete l_entry.second;
    FreeDead();
    for (Type* lp_type : m_typeOrder)
    {
        for (Item* lp_item : lp_type->m_items)
            Item::Free(lp_item);
        delete lp_type;
    }
}

Type* Data::NewType(std::string_view i_name, bool i_isPrimary, bool i_isNull, bool i_autoCreate)
{
    if (m_types.find(i_name) != m_types.end())
    {
        CrashAssert(false);
        throw new TypeAlreadyExistsException();
    }
    Type* lp_type = new Type(this, i_name, i_isPrimary, i_isNull, i_autoCreate, m_nextTypeSerial++);
    m_types.emplace(std::string(i_name), lp_type);
    m_typeOrder.push_back(lp_type);
    CountChange();
    Operation l_operation(this);
    Type* lp_added = lp_type;
    m_typeAddedEvent.Notify(lp_added);
    return lp_type;
}

Type* Data::GetType(std::string_view i_name) const
{
    auto l_found = m_types.find(i_name);
    if (l_found == m_types.end())
    {
        CrashAssert(false);
        throw new TypeNotFoundException();
    }
    return l_found->second;
}

Type* Data::HasType(std::string_view i_name) const
{
    auto l_found = m_types.find(i_name);
    return l_found == m_types.end() ? nullptr : l_found->second;
}

void Data::GetTypes(TypeTable& i_result) const
{
    i_result = m_types;
}

void Data::RemoveAllItems()
{
    Operation l_operation(this);
    std::vector<Type*> const l_types = m_typeOrder;
    for (Type* lp_type : l_types)
        if (!lp_type->IsRemoved())
            lp_type->RemoveAllItems();
}

void Data::ForgetType(Type* ip_type)
{
    m_types.erase(m_types.find(ip_type->Name()));
    std::erase(m_typeOrder, ip_type);
    for (auto const& l_relation : ip_type->m_relations)
        if (l_relation.first != ip_type)
            l_relation.first->m_relations.erase(ip_type);

    auto const l_involves = [ip_type](TypePair const& i_pair)
    { return i_pair.first == ip_type || i_pair.second == ip_type; };
    std::vector<PathNodeHandlerInfo*> l_withdrawn;
    for (PathNodeHandlerInfo* lp_info : m_pathSubscriptions)
        if (std::any_of(lp_info->m_pairs.begin(), lp_info->m_pairs.end(),
                        [&](auto const& i_link) { return l_involves(i_link.first); }))
            l_withdrawn.push_back(lp_info);
    for (PathNodeHandlerInfo* lp_info : l_withdrawn)
        RemovePathEventHandler(lp_info);
    for (PairHandlers* lp_table : {&m_connectionEventHandlers, &m_disconnectionEventHandlers})
        for (auto l_entry = lp_table->begin(); l_entry != lp_table->end();)
        {
            if (l_involves(l_entry->first))
            {
                m_deadPairHandlers.push_back(l_entry->second);
                l_entry = lp_table->erase(l_entry);
            }
            else
                ++l_entry;
        }
    m_deadTypes.push_back(ip_type);
    m_hasDead = true;
    CountChange();
}

void Data::Bury(Item* ip_item)
{
    m_deadItems.push_back(ip_item);
    m_hasDead = true;
}

void Data::FreeDead()
{
    m_hasDead = false;
    for (Item* lp_item : m_deadItems)
        Item::Free(lp_item);
    m_deadItems.clear();
    for (PathNodeHandlerInfo* lp_info : m_deadSubscriptions)
    {
        delete lp_info->mp_handler;
        delete lp_info->mp_root;
        delete lp_info;
    }
    m_deadSubscriptions.clear();
    for (Event<ConnectionInfo&>* lp_handlers : m_deadPairHandlers)
        delete lp_handlers;
    m_deadPairHandlers.clear();
    for (Type* lp_type : m_deadTypes)
        delete lp_type;
    m_deadTypes.clear();
}

void Data::AddPairHandler(PairHandlers& i_table, Type* ip_a, Type* ip_b,
                          EventHandlerBase<ConnectionInfo&>* ip_handler)
{
    if (!ip_a->IsRelated(ip_b))
    {
        CrashAssert(false);
        throw new NotRelatedException();
    }
    Event<ConnectionInfo&>*& lp_handlers = i_table[TypePair(ip_a, ip_b)];
    if (!lp_handlers)
        lp_handlers = new Event<ConnectionInfo&>();
    lp_handlers->AddHandler(ip_handler);
}

void Data::AddConnectionEventHandler(Type* ip_a, Type* ip_b,
                                     EventHandlerBase<ConnectionInfo&>* ip_handler)
{
    AddPairHandler(m_connectionEventHandlers, ip_a, ip_b, ip_handler);
}

void Data::AddDisconnectionEventHandler(Type* ip_a, Type* ip_b,
                                        EventHandlerBase<ConnectionInfo&>* ip_handler)
{
    AddPairHandler(m_disconnectionEventHandlers, ip_a, ip_b, ip_handler);
}

void Data::NotifyPairHandlers(PairHandlers& i_table, Item* ip_a, Item* ip_b)
{
    if (i_table.empty())
        return;
    Operation l_operation(this);
    auto l_found = i_table.find(TypePair(ip_a->GetType(), ip_b->GetType()));
    if (l_found != i_table.end())
    {
        ConnectionInfo l_info{ip_a, ip_b};
        l_found->second->Notify(l_info);
    }
    l_found = i_table.find(TypePair(ip_b->GetType(), ip_a->GetType()));
    if (l_found != i_table.end())
    {
        ConnectionInfo l_info{ip_b, ip_a};
        l_found->second->Notify(l_info);
    }
}

void Data::NotifyConnectionEventHandlers(Item* ip_a, Item* ip_b)
{
    NotifyPairHandlers(m_connectionEventHandlers, ip_a, ip_b);
}

void Data::NotifyDisconnectionEventHandlers(Item* ip_a, Item* ip_b)
{
    NotifyPairHandlers(m_disconnectionEventHandlers, ip_a, ip_b);
}

void Data::GetPathNodePairs(PathNode* ip_node, PathNodePairs& i_result)
{
    for (PathNode::Child const& l_child : ip_node->Children())
    {
        TypePair const l_pair(ip_node->GetType(), l_child.first->GetType());
        bool const l_new = !i_result.contains(l_pair);
        CrashAssert(l_new);
        if (!l_new)
            continue;
        i_result[l_pair] = PathNodePairInfo{ip_node, l_child.first, l_child.second};
        GetPathNodePairs(l_child.first, i_result);
    }
}

void Data::AddPathEventHandler(PathNode* ip_root, EventHandlerBase<Item*>* ip_handler)
{
    CrashAssert(!ip_root->Parent());
    if (ip_root->Parent())
        return;
    auto* lp_info = new PathNodeHandlerInfo();
    lp_info->mp_handler = ip_handler;
    lp_info->mp_root = ip_root;
    lp_info->m_serial = m_nextSubscriptionSerial++;
    GetPathNodePairs(ip_root, lp_info->m_pairs);

    bool l_related = true;
    for (auto const& l_link : lp_info->m_pairs)
        if ((IsConnectionTrigger(l_link.second.m_relation) ||
             IsDisconnectionTrigger(l_link.second.m_relation)) &&
            !l_link.first.first->IsRelated(l_link.first.second))
            l_related = false;
    if (lp_info->m_pairs.empty() || !l_related)
    {
        // Nothing to listen to: the store owns path and handler, so it drops them.
        delete ip_handler;
        delete ip_root;
        delete lp_info;
        if (l_related)
            return;
        CrashAssert(false);
        throw new NotRelatedException();
    }

    for (auto const& l_link : lp_info->m_pairs)
    {
        if (IsConnectionTrigger(l_link.second.m_relation))
            Subscribe(m_connectionSubscriptions, m_connectionListeners, m_connectionEventHandlers,
                      l_link.first, lp_info, true);
        else if (IsDisconnectionTrigger(l_link.second.m_relation))
            Subscribe(m_disconnectionSubscriptions, m_disconnectionListeners,
                      m_disconnectionEventHandlers, l_link.first, lp_info, false);
    }
    m_pathSubscriptions.insert(lp_info);
}

void Data::Subscribe(Subscriptions& i_subscriptions, Listeners& i_listeners,
                     PairHandlers& i_pairHandlers, TypePair const& i_pair,
                     PathNodeHandlerInfo* ip_info, bool i_connection)
{
    if (!i_listeners.contains(i_pair))
    {
        auto* lp_listener = new EventHandler<Data, ConnectionInfo&>(
            this,
            i_connection ? &Data::OnPathNodeEventConnection : &Data::OnPathNodeEventDisconnection);
        AddPairHandler(i_pairHandlers, i_pair.first, i_pair.second, lp_listener);
        i_listeners[i_pair] = lp_listener;
    }
    i_subscriptions[i_pair].insert(ip_info);
}

void Data::RemovePathEventHandler(PathNodeHandlerInfo* ip_info)
{
    if (ip_info->m_withdrawn)
        return;
    Operation l_operation(this);
    ip_info->m_withdrawn = true;
    for (auto const& l_link : ip_info->m_pairs)
    {
        if (IsConnectionTrigger(l_link.second.m_relation))
            Unsubscribe(m_connectionSubscriptions, m_connectionListeners, l_link.first, ip_info);
        else if (IsDisconnectionTrigger(l_link.second.m_relation))
            Unsubscribe(m_disconnectionSubscriptions, m_disconnectionListeners, l_link.first,
                        ip_info);
    }
    m_pathSubscriptions.erase(ip_info);
    // A walk of this pair may still hold the record: it is freed when the operation ends.
    m_deadSubscriptions.push_back(ip_info);
    m_hasDead = true;
}

void Data::Unsubscribe(Subscriptions& i_subscriptions, Listeners& i_listeners,
                       TypePair const& i_pair, PathNodeHandlerInfo* ip_info)
{
    auto l_subscriptions = i_subscriptions.find(i_pair);
    if (l_subscriptions == i_subscriptions.end())
        return;
    l_subscriptions->second.erase(ip_info);
    if (!l_subscriptions->second.empty())
        return;
    i_subscriptions.erase(l_subscriptions);
    auto l_listener = i_listeners.find(i_pair);
    CrashAssert(l_listener != i_listeners.end());
    if (l_listener == i_listeners.end())
        return;
    // The pair's handler set may be walking right now: mark the listener, the set deletes it.
    l_listener->second->m_removed = true;
    i_listeners.erase(l_listener);
}

void Data::OnPathNodeEventConnection(ConnectionInfo& i_info)
{
    OnPathNodeEvent(m_connectionSubscriptions, i_info);
}

void Data::OnPathNodeEventDisconnection(ConnectionInfo& i_info)
{
    OnPathNodeEvent(m_disconnectionSubscriptions, i_info);
}

void Data::OnPathNodeEvent(Subscriptions& i_subscriptions, ConnectionInfo& i_info)
{
    TypePair const l_pair(i_info.first->GetType(), i_info.second->GetType());
    auto l_found = i_subscriptions.find(l_pair);
    CrashAssert(l_found != i_subscriptions.end());
    if (l_found == i_subscriptions.end())
        return;
    Operation l_operation(this);
    std::vector<PathNodeHandlerInfo*> const l_copy(l_found->second.begin(), l_found->second.end());
    for (PathNodeHandlerInfo* lp_info : l_copy)
    {
        if (lp_info->m_withdrawn)
            continue;
        auto l_link = lp_info->m_pairs.find(l_pair);
        CrashAssert(l_link != lp_info->m_pairs.end());
        if (l_link == lp_info->m_pairs.end())
            continue;
        if (lp_info->mp_handler->m_removed)
        {
            RemovePathEventHandler(lp_info);
            continue;
        }
        Item* lp_root = nullptr;
        if (VerifyPathNodeParentNodeConnections(i_info.first, l_link->second.mp_parent,
                                                l_link->second.mp_child, lp_root) &&
            VerifyPathNodeSubNodeConnections(i_info.second, l_link->second.mp_child, nullptr))
            lp_info->mp_handler->Handle(lp_root);
    }
}

bool Data::VerifyPathNodeSubNodeConnections(Item* ip_item, PathNode* ip_node, PathNode* ip_skipped)
{
    if (!ip_node->Accepts(ip_item))
        return false;
    for (PathNode::Child const& l_child : ip_node->Children())
    {
        if (l_child.first == ip_skipped)
            continue;
        ItemSet const* lp_group = ip_item->ConnectedItems(l_child.first->GetType());
        switch (l_child.second)
        {
            case RequireConnected:
            case FilterConnected:
            {
                if (!lp_group)
                    return false;
                bool l_holds = false;
                for (Item* lp_connected : *lp_group)
                    if (VerifyPathNodeSubNodeConnections(lp_connected, l_child.first, nullptr))
                    {
                        l_holds = true;
                        break;
                    }
                if (!l_holds)
                    return false;
                break;
            }
            case RequireAbsent:
            case FilterAbsent:
            {
                if (!lp_group)
                    break;
                bool l_holds = false;
                for (Item* lp_connected : *lp_group)
                    if (!VerifyPathNodeSubNodeConnections(lp_connected, l_child.first, nullptr))
                    {
                        l_holds = true;
                        break;
                    }
                if (!l_holds)
                    return false;
                break;
            }
            case OnConnect:
            case OnDisconnect:
                // A path holds at most one trigger of this kind, and it is the link that fired.
                CrashAssert(false);
                return false;
        }
    }
    return true;
}

bool Data::VerifyPathNodeParentNodeConnections(Item* ip_item, PathNode* ip_node,
                                               PathNode* ip_skipped, Item*& i_root)
{
    if (!ip_node->Accepts(ip_item))
        return false;
    if (!VerifyPathNodeSubNodeConnections(ip_item, ip_node, ip_skipped))
        return false;
    PathNode* lp_parent = ip_node->Parent();
    if (!lp_parent)
    {
        i_root = ip_item;
        return true;
    }
    switch (ip_node->Relation())
    {
        case RequireConnected:
        case FilterConnected:
        {
            ItemSet const* lp_group = ip_item->ConnectedItems(lp_parent->GetType());
            if (!lp_group)
                return false;
            for (Item* lp_connected : *lp_group)
                if (VerifyPathNodeParentNodeConnections(lp_connected, lp_parent, ip_node, i_root))
                    return true;
            return false;
        }
        case OnConnect:
        case OnDisconnect:
            CrashAssert(false);
            return false;
        case RequireAbsent:
        case FilterAbsent:
            // The root cannot be found across a link that must be absent.
            return false;
    }
    return false;
}

ItemSet Data::GetItems(ItemSet const& i_items, std::string_view i_type)
{
    return i_items.GetItems(i_type);
}

ItemSet Data::GetItemSubset(ItemSet i_items, std::string_view i_type)
{
    Type* lp_type = GetType(i_type);
    if (i_items.empty())
        return ItemSet();
    std::vector<ItemSet const*> l_groups;
    l_groups.reserve(i_items.size());
    for (Item* lp_item : i_items)
    {
        ItemSet const* lp_group = lp_item->ConnectedItems(lp_type);
        if (!lp_group)
            return ItemSet();
        l_groups.push_back(lp_group);
    }
    std::stable_sort(l_groups.begin(), l_groups.end(),
                     [](ItemSet const* ip_a, ItemSet const* ip_b)
                     { return ip_a->size() < ip_b->size(); });
    std::vector<Item*> l_candidates(l_groups.front()->begin(), l_groups.front()->end());
    for (std::size_t l_index = 1; l_index < l_groups.size() && !l_candidates.empty(); ++l_index)
    {
        ItemSet const& l_group = *l_groups[l_index];
        std::erase_if(l_candidates, [&](Item* ip_item) { return !l_group.contains(ip_item); });
    }
    return ItemSet(std::move(l_candidates));
}

ItemSet Data::GetItems(ItemPtr i_a, ItemPtr i_b, std::string_view i_type)
{
    return GetItemSubset(ItemSet{i_a, i_b}, i_type);
}

ItemPtr Data::GetItem(ItemSet i_items, std::string_view i_type)
{
    ItemSet const l_found = GetItemSubset(std::move(i_items), i_type);
    CrashAssert(l_found.size() <= 1);
    return l_found.empty() ? ItemPtr() : ItemPtr(l_found.front());
}

ItemPtr Data::GetItem(ItemPtr i_a, ItemPtr i_b, std::string_view i_type)
{
    return GetItem(ItemSet{i_a, i_b}, i_type);
}

void Data::GetTypeOwningTypes(Type* ip_type, std::set<Type*, TypeLess>& i_result)
{
    for (auto const& l_relation : ip_type->m_relations)
        if (l_relation.second.ownedBy)
            i_result.insert(l_relation.first);
}

void Data::MarkItemConnections(Item* ip_item, std::vector<Type*>& i_pathTypes)
{
    if (!(ip_item->m_flags & Item::CandidateFlag))
        return;
    Type* lp_type = ip_item->GetType();
    if (std::find(i_pathTypes.begin(), i_pathTypes.end(), lp_type) != i_pathTypes.end())
        return;
    i_pathTypes.push_back(lp_type);
    ip_item->m_flags &= ~Item::CandidateFlag;
    for (Item::Connection const& l_group : ip_item->Connections())
    {
        CrashAssert(!l_group.m_items.empty());
        if (l_group.mp_type->IsPrimary())
            continue;
        for (Item* lp_connected : l_group.m_items)
            MarkItemConnections(lp_connected, i_pathTypes);
    }
    i_pathTypes.pop_back();
}

void Data::RemoveInIdentityOrder(std::vector<SerialItem>& i_items, int& i_count)
{
    SortBySerial(i_items);
    // Handlers of these removals may remove some of the others first; none goes twice.
    for (SerialItem const& l_entry : i_items)
        if (!l_entry.second->IsRemoved())
        {
            l_entry.second->Remove();
            ++i_count;
        }
}

void Data::SortBySerial(std::vector<SerialItem>& i_items)
{
    // Serials come from one counter, so a large batch usually spans a range not much wider
    // than itself: place each item at its serial's offset instead of comparing.
    std::size_t const l_count = i_items.size();
    if (l_count < 1024)
    {
        std::sort(i_items.begin(), i_items.end());
        return;
    }
    auto const [l_min, l_max] = std::minmax_element(i_items.begin(), i_items.end());
    std::uint64_t const l_first = l_min->first;
    std::uint64_t const l_range = l_max->first - l_first + 1;
    if (l_range > 4 * l_count)
    {
        std::sort(i_items.begin(), i_items.end());
        return;
    }
    std::vector<Item*> l_slots(l_range, nullptr);
    for (SerialItem const& l_entry : i_items)
        l_slots[l_entry.first - l_first] = l_entry.second;
    std::size_t l_index = 0;
    for (std::uint64_t l_offset = 0; l_offset < l_range; ++l_offset)
        if (l_slots[l_offset])
            i_items[l_index++] = SerialItem(l_first + l_offset, l_slots[l_offset]);
}

int Data::RemoveDisconnectedItems()
{
    Operation l_operation(this);
    std::vector<Type*> const l_types = m_typeOrder;
    // The candidate set is a mark on the items themselves, listed here to be cleared at the end.
    std::vector<Item*> l_candidates;
    std::vector<SerialItem> l_unowned;
    for (Type* lp_type : l_types)
    {
        std::set<Type*, TypeLess> l_owners;
        GetTypeOwningTypes(lp_type, l_owners);
        auto const l_classify = [&](Item* ip_item)
        {
            for (Type* lp_owner : l_owners)
            {
                ItemSet const* lp_group = ip_item->ConnectedItems(lp_owner);
                if (!lp_group)
                {
                    l_unowned.emplace_back(ip_item->Serial(), ip_item);
                    return;
                }
                CrashAssert(!lp_group->empty());
            }
            ip_item->m_flags |= Item::CandidateFlag;
            l_candidates.push_back(ip_item);
        };
        for (Item* lp_item : lp_type->m_items)
            l_classify(lp_item);
    }
    struct ClearMarks
    {
        std::vector<Item*>& m_items;
        ~ClearMarks()
        {
            for (Item* lp_item : m_items)
                lp_item->m_flags &= ~Item::CandidateFlag;
        }
    } const l_clearMarks{l_candidates};

    int l_count = 0;
    RemoveInIdentityOrder(l_unowned, l_count);

    std::vector<Type*> l_pathTypes;
    for (Type* lp_type : l_types)
    {
        if (!lp_type->IsPrimary() || lp_type->IsRemoved())
            continue;
        for (Item* lp_item : lp_type->m_items)
            MarkItemConnections(lp_item, l_pathTypes);
    }

    std::vector<SerialItem> l_unmarked;
    for (Item* lp_item : l_candidates)
        if ((lp_item->m_flags & Item::CandidateFlag) && !lp_item->IsRemoved())
            l_unmarked.emplace_back(lp_item->Serial(), lp_item);
    RemoveInIdentityOrder(l_unmarked, l_count);
    return l_count;
}
