#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

class Data;
class Item;
class Type;

// How a path node's items stand to its parent's items: a condition, a trigger, or both.
enum PathNodeRelation
{
    RequireConnected = 0, // must be connected; triggers when connected
    FilterConnected = 1,  // must be connected; never triggers
    OnConnect = 2,        // triggers when connected; no condition
    RequireAbsent = 3,    // must be absent; triggers when disconnected
    FilterAbsent = 4,     // must be absent; never triggers
    OnDisconnect = 5      // triggers when disconnected; no condition
};

// One node of a path subscription: the items of a type (or one fixed item) and the links below.
// A node owns its children.
class PathNode
{
public:
    using Child = std::pair<PathNode*, PathNodeRelation>;

    PathNode(Data* ip_data, std::string_view i_type);
    explicit PathNode(Item* ip_anchor);
    PathNode(PathNode* ip_parent, std::string_view i_type, PathNodeRelation i_relation);
    PathNode(PathNode* ip_parent, Item* ip_anchor, PathNodeRelation i_relation);
    PathNode(PathNode const&) = delete;
    PathNode& operator=(PathNode const&) = delete;
    ~PathNode();

    Data* GetData() const { return mp_data; }
    PathNode* Parent() const { return mp_parent; }
    PathNodeRelation Relation() const { return m_relation; }
    Type* GetType() const { return mp_type; }
    Item* Anchor() const { return mp_anchor; }
    // Whether the node accepts the item: any item of its type, or only its anchor. The anchor is
    // matched by serial so that a removed anchor never matches an item made later at its address.
    bool Accepts(Item const* ip_item) const;
    // In the order the children were made.
    std::vector<Child> const& Children() const { return m_children; }

private:
    Data* mp_data;
    PathNode* mp_parent = nullptr;
    PathNodeRelation m_relation = RequireConnected;
    Type* mp_type;
    Item* mp_anchor = nullptr;
    std::uint64_t m_anchorSerial = 0;
    std::vector<Child> m_children;
};
