#include "ObjectCensus.h"

#include <QAbstractSocket>
#include <QMutex>

#include <cstdio>
#include <unordered_set>

// The object hooks of QtCore.
extern quintptr Q_CORE_EXPORT qtHookData[];

namespace
{
constexpr int hookAddObject = 3;
constexpr int hookRemoveObject = 4;

QMutex g_lock;
std::unordered_set<QObject*> g_objects;

void OnObjectAdded(QObject* ip_object)
{
    QMutexLocker l_lock(&g_lock);
    g_objects.insert(ip_object);
}

void OnObjectRemoved(QObject* ip_object)
{
    QMutexLocker l_lock(&g_lock);
    g_objects.erase(ip_object);
}
} // namespace

void ObjectCensus::Start()
{
    qtHookData[hookAddObject] = reinterpret_cast<quintptr>(&OnObjectAdded);
    qtHookData[hookRemoveObject] = reinterpret_cast<quintptr>(&OnObjectRemoved);
}

void ObjectCensus::Stop()
{
    qtHookData[hookAddObject] = 0;
    qtHookData[hookRemoveObject] = 0;
    QMutexLocker l_lock(&g_lock);
    g_objects.clear();
}

long long ObjectCensus::Objects()
{
    QMutexLocker l_lock(&g_lock);
    return static_cast<long long>(g_objects.size());
}

long long ObjectCensus::Sockets()
{
    QMutexLocker l_lock(&g_lock);
    long long l_sockets = 0;
    for (QObject* lp_object : g_objects)
        if (qobject_cast<QAbstractSocket*>(lp_object))
            ++l_sockets;
    return l_sockets;
}

std::map<std::string, long long> ObjectCensus::ByClass()
{
    QMutexLocker l_lock(&g_lock);
    std::map<std::string, long long> l_classes;
    for (QObject* lp_object : g_objects)
        ++l_classes[lp_object->metaObject()->className()];
    return l_classes;
}

void ObjectCensus::PrintChanges(const std::map<std::string, long long>& i_before,
                                const std::map<std::string, long long>& i_after)
{
    std::map<std::string, std::pair<long long, long long>> l_counts;
    for (const auto& l_entry : i_before)
        l_counts[l_entry.first].first = l_entry.second;
    for (const auto& l_entry : i_after)
        l_counts[l_entry.first].second = l_entry.second;
    for (const auto& l_entry : l_counts)
        if (l_entry.second.first != l_entry.second.second)
            std::printf("    objects %-26s %lld -> %lld\n", l_entry.first.c_str(),
                        l_entry.second.first, l_entry.second.second);
}
