#include "SearchForm.h"

#include "DataSaver.h"

SearchForm::SearchForm(QWidget* ip_parent) : QWidget(ip_parent) {}

void SearchForm::Init()
{
    // A download started from a search keeps the search's text across restarts.
    dataSaver->AddSavedByConnectionType("search_request_text", "download_entry");
}
