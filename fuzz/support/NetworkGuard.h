#pragma once

#include <QtGlobal>

// Fuzzed messages name addresses and ports that the client then connects to. In a fuzz process
// connect() reaches only 127.0.0.1, and there only the ports allowed here (the central
// stand-in's, the client's own listening ports when a target dials in, and the port where a
// target answers when the client dials another user): any other address or port is refused at
// once, as an unreachable peer would be, so that nothing leaves the machine and no other local
// service is touched. Until a port is allowed, every connection over the network is refused.
void AllowLoopbackPort(quint16 i_port);
