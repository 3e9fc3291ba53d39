#pragma once

#include <QtGlobal>
#include <utility>

// An IPv4 address as the network sends it (a 32-bit word) and a port.
using TCPAddress = std::pair<quint32, qint32>;
