#pragma once

#include "StreamReadable.h"
#include "StreamWritable.h"

// A record that both reads and writes itself.
class Persistent : public StreamReadable, public StreamWritable
{
protected:
    Persistent() = default;
    Persistent(const Persistent&) = default;
    Persistent& operator=(const Persistent&) = default;
    ~Persistent() = default;
};
