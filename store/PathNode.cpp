#include "PathNode.h"

#include "Data.h"

PathNode::PathNode(Data* ip_data, std::string_view i_type)
    : mp_data(ip_data), mp_type(ip_data->GetType(i_type))
{
}

PathNode::PathNode(Item* ip_anchor)
    : mp_data(ip_anchor->GetType()->GetData()), mp_type(ip_anchor->GetType()), mp_anchor(ip_anchor),
      m_anchorSerial(ip_anchor->Serial())
{
}

PathNode::PathNode(PathNode* ip_parent, std::string_view i_type, PathNodeRelation i_relation)
    : mp_data(ip_parent->mp_data), mp_parent(ip_parent), m_relation(i_relation),
      mp_type(mp_data->GetType(i_type))
{
    ip_parent->m_children.emplace_back(this, i_relation);
}

PathNode::PathNode(PathNode* ip_parent, Item* ip_anchor, PathNodeRelation i_relation)
    : mp_data(ip_parent->mp_data), mp_parent(ip_parent), m_relation(i_relation),
      mp_type(ip_anchor->GetType()), mp_anchor(ip_anchor), m_anchorSerial(ip_anchor->Serial())
{
    ip_parent->m_children.emplace_back(this, i_relation);
}

PathNode::~PathNode()
{
    for (Child const& l_child : m_children)
        delete l_child.first;
}

bool PathNode::Accepts(Item const* ip_item) const
{
    return !mp_anchor || ip_item->Serial() == m_anchorSerial;
}
