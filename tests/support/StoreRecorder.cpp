#include "StoreRecorder.h"

std::string StoreRecorder::Label(Item* ip_item)
{
    if (ip_item->GetType()->IsNull())
        return ip_item->GetType()->Name();
    return ip_item->GetType()->Name() + ":" + ip_item->Value();
}

void StoreRecorder::WatchType(Type* ip_type)
{
    ip_type->m_itemAddedEvent.AddHandler(
        new EventHandler<StoreRecorder, Item*>(this, &StoreRecorder::OnAdded));
    ip_type->m_itemRemovedEvent.AddHandler(
        new EventHandler<StoreRecorder, Item*>(this, &StoreRecorder::OnRemoved));
    ip_type->m_connectionEvent.AddHandler(
        new EventHandler<StoreRecorder, ConnectionInfo>(this, &StoreRecorder::OnConnected));
    ip_type->m_disconnectionEvent.AddHandler(
        new EventHandler<StoreRecorder, ConnectionInfo>(this, &StoreRecorder::OnDisconnected));
}

void StoreRecorder::WatchStore()
{
    d.m_itemAddedEvent.AddHandler(
        new EventHandler<StoreRecorder, Item*>(this, &StoreRecorder::OnStoreAdded));
    d.m_itemRemovedEvent.AddHandler(
        new EventHandler<StoreRecorder, Item*>(this, &StoreRecorder::OnStoreRemoved));
    d.m_connectionEvent.AddHandler(
        new EventHandler<StoreRecorder, ConnectionInfo>(this, &StoreRecorder::OnStoreConnected));
    d.m_disconnectionEvent.AddHandler(
        new EventHandler<StoreRecorder, ConnectionInfo>(this, &StoreRecorder::OnStoreDisconnected));
}

void StoreRecorder::WatchConnectionPair(Type* ip_a, Type* ip_b)
{
    d.AddConnectionEventHandler(
        ip_a, ip_b,
        new EventHandler<StoreRecorder, ConnectionInfo&>(this, &StoreRecorder::OnPairConnected));
}

void StoreRecorder::WatchDisconnectionPair(Type* ip_a, Type* ip_b)
{
    d.AddDisconnectionEventHandler(
        ip_a, ip_b,
        new EventHandler<StoreRecorder, ConnectionInfo&>(this, &StoreRecorder::OnPairDisconnected));
}

QStringList StoreRecorder::Take()
{
    QStringList l_log;
    l_log.swap(m_log);
    return l_log;
}

QStringList StoreRecorder::Lines(std::initializer_list<char const*> i_lines)
{
    QStringList l_lines;
    for (char const* lp_line : i_lines)
        l_lines.append(QString::fromUtf8(lp_line));
    return l_lines;
}

void StoreRecorder::OnAdded(Item* ip_item)
{
    m_log.append(QString::fromStdString("added " + Label(ip_item)));
}

void StoreRecorder::OnRemoved(Item* ip_item)
{
    m_log.append(QString::fromStdString("removed " + Label(ip_item)));
}

void StoreRecorder::OnConnected(ConnectionInfo i_info)
{
    m_log.append(
        QString::fromStdString("connected " + Label(i_info.first) + ">" + Label(i_info.second)));
}

void StoreRecorder::OnDisconnected(ConnectionInfo i_info)
{
    m_log.append(
        QString::fromStdString("disconnected " + Label(i_info.first) + ">" + Label(i_info.second)));
}

void StoreRecorder::OnStoreAdded(Item* ip_item)
{
    m_log.append(QString::fromStdString("store-added " + Label(ip_item)));
}

void StoreRecorder::OnStoreRemoved(Item* ip_item)
{
    m_log.append(QString::fromStdString("store-removed " + Label(ip_item)));
}

void StoreRecorder::OnStoreConnected(ConnectionInfo i_info)
{
    m_log.append(QString::fromStdString("store-connected " + Label(i_info.first) + ">" +
                                        Label(i_info.second)));
}

void StoreRecorder::OnStoreDisconnected(ConnectionInfo i_info)
{
    m_log.append(QString::fromStdString("store-disconnected " + Label(i_info.first) + ">" +
                                        Label(i_info.second)));
}

void StoreRecorder::OnPairConnected(ConnectionInfo& i_info)
{
    m_log.append(
        QString::fromStdString("pair " + Label(i_info.first) + ">" + Label(i_info.second)));
}

void StoreRecorder::OnPairDisconnected(ConnectionInfo& i_info)
{
    m_log.append(
        QString::fromStdString("pair-off " + Label(i_info.first) + ">" + Label(i_info.second)));
}
