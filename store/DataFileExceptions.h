#pragma once

// Thrown by value by DataSaver::Load when the data file cannot be loaded.
class DataLoadFailure
{
};

// Raised inside DataSaver::Save when the data file cannot be written; Save never lets it out.
class DataSaveFailure
{
};
