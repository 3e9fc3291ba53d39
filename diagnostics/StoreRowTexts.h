#pragma once

#include <QString>

class Item;

// Texts that the store browser and its type page show for items. Values are shown as plain text
// only, on one line (ShownText).

// The item's value (UTF-8).
QString ValueText(const Item* ip_item);

// A row for an item connected to the row above: "[type, null]" for a null type, else
// "[type] value".
QString ConnectedRowText(const Item* ip_item);

// The marker child of a row whose connections are not loaded yet.
extern const QString unloadedRowText;
