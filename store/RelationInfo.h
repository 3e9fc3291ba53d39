#pragma once

// How many partners of the other type one item may hold at one end of a relation.
enum OneOrMany
{
    One = 0,
    Many = 1
};

// What a type knows of a type that it is related to.
struct RelationInfo
{
    OneOrMany thisEnd = Many;  // items of this type that one item of the other type may hold
    OneOrMany otherEnd = Many; // items of the other type that one item of this type may hold
    bool owns = false;         // this type owns the other
    bool ownedBy = false;      // the other type owns this one
};
