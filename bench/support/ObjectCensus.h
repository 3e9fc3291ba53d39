#pragma once

#include <QObject>

#include <map>
#include <string>

// Every QObject alive, for the soak benchmarks: QtCore calls a hook as each one is made and
// destroyed. Objects that a load leaves behind (sockets closed but never deleted, files, threads)
// show in the counts even where no descriptor stays open.
class ObjectCensus
{
public:
    // Counting starts with the first object made after Start and ends with Stop.
    static void Start();
    static void Stop();
    static long long Objects();
    static long long Sockets();
    // Live objects by class name; only while nothing else makes or destroys objects.
    static std::map<std::string, long long> ByClass();
    // A line for each class whose count changed.
    static void PrintChanges(const std::map<std::string, long long>& i_before,
                             const std::map<std::string, long long>& i_after);
};
