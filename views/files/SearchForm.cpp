#include "SearchForm.h"

SearchForm::SearchForm(QWidget* ip_parent) : QWidget(ip_parent) {}

void SearchForm::Init() {}
