#pragma once

#include "Data.h"

#include <QStringList>

#include <initializer_list>

#include <string>
#include <vector>

// Records store events as text lines, for tests that check what was told and in which order.
// Lines: "added user:bob", "removed user:bob", "connected user:bob>is_online",
// "disconnected ...", "store-added ...", "pair user:bob>is_online"; a null item is its type name.
class StoreRecorder : public DataHandler
{
public:
    static std::string Label(Item* ip_item);

    void WatchType(Type* ip_type);
    void WatchStore();
    void WatchConnectionPair(Type* ip_a, Type* ip_b);
    void WatchDisconnectionPair(Type* ip_a, Type* ip_b);

    // The lines recorded so far, which are then forgotten.
    QStringList Take();
    static QStringList Lines(std::initializer_list<char const*> i_lines);

    QStringList m_log;

private:
    void OnAdded(Item* ip_item);
    void OnRemoved(Item* ip_item);
    void OnConnected(ConnectionInfo i_info);
    void OnDisconnected(ConnectionInfo i_info);
    void OnStoreAdded(Item* ip_item);
    void OnStoreRemoved(Item* ip_item);
    void OnStoreConnected(ConnectionInfo i_info);
    void OnStoreDisconnected(ConnectionInfo i_info);
    void OnPairConnected(ConnectionInfo& i_info);
    void OnPairDisconnected(ConnectionInfo& i_info);
};
