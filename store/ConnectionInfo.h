#pragma once

class Item;

// The two items of a connection or disconnection, the item on whose side the event is told first.
struct ConnectionInfo
{
    Item* first = nullptr;
    Item* second = nullptr;
};
