#pragma once

#include <QList>
#include <QString>

#include <utility>

// Texts whose joiners, variation selectors and tags do work that Unicode gives them, so that
// they show as they are: one of each kind, as the text functions and the views are tried on.
QList<std::pair<const char*, QString>> KeptSequences();
