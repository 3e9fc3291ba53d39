#pragma once

// Told once the data file has been loaded (or found missing or unusable), so that the service
// restores its state and applies its defaults.
class DataLoadedEventHandler
{
public:
    virtual void DataLoaded() = 0;

protected:
    ~DataLoadedEventHandler() = default;
};
