#pragma once

#include "DataFileExceptions.h"
#include "DataLoadedEventHandler.h"
#include "Item.h"

#include <QString>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

class Type;

// Writes the saved part of the store to the data file and reads it back. One instance, the global
// dataSaver, set by the constructor.
class DataSaver
{
public:
    DataSaver();
    DataSaver(DataSaver const&) = delete;
    DataSaver& operator=(DataSaver const&) = delete;

    // Every item of the type is saved. The type must be declared.
    void AddSavedType(std::string i_type);
    // An item of i_type is saved when it is connected to an item of i_connectedType; calls for
    // one type accumulate. Both types must be declared.
    void AddSavedByConnectionType(std::string i_type, std::string i_connectedType);
    void AddDataLoadedEventHandler(DataLoadedEventHandler* ip_handler);
    // For a handler that goes before the program ends.
    void RemoveDataLoadedEventHandler(DataLoadedEventHandler* ip_handler);
    // Calls DataLoaded() once on every registered handler.
    void EmitDataLoaded();

    // Writes the file through a temporary file renamed over it; never throws. Where the path is
    // a symbolic link, the end of its chain is written in its place and the link stays; an end
    // that exists and is not a regular file fails the save. A failure is logged, leaves the file
    // at the path as it was, and its reason is returned; empty when saved.
    QString Save(QString i_path);
    // Reads the file into the store and tells the handlers; true when a file was read. A missing
    // file is a first run, logged as such, and gives false. A file that cannot be loaded changes
    // nothing in the store, is copied aside (path + ".bad", or ".bad.1", ".bad.2"... when taken),
    // the handlers are told, and DataLoadFailure is thrown.
    bool Load(QString i_path);
    // The file that a save at i_path writes: i_path itself or, where it is a symbolic link, the
    // end of its chain, which need not exist yet; a relative target is taken from the folder of
    // the link that holds it. Returns 0 with i_target set, or the error: ELOOP for a chain that
    // is circular or longer than the system follows.
    static int FinalTarget(QString const& i_path, QString& i_target);

private:
    bool IsSaved(Type* ip_type) const;
    // (first id, second id), each connection once, ascending.
    using ConnectionRecords = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

    // Builds the file's bytes up to its connection records in m_head, and the records; returns
    // the number of bytes of m_head that are the file's. Throws DataSaveFailure when the store
    // does not fit the format.
    std::size_t Serialize();

    std::set<Type*, TypeLess> m_savedTypes;
    std::map<Type*, std::set<Type*, TypeLess>, TypeLess> m_savedByConnectionTypes;
    std::set<DataLoadedEventHandler*> m_dataLoadedEventHandlers;
    // Kept from save to save, so that saving neither grows them step by step nor faults in
    // fresh pages: the head's buffer, the connection records and the saved items in id order.
    std::string m_head;
    ConnectionRecords m_connections;
    std::vector<Item*> m_items;
};

extern DataSaver* dataSaver;
