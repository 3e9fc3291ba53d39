#include "SharesForm.h"

SharesForm::SharesForm(QWidget* ip_parent) : QWidget(ip_parent) {}

void SharesForm::Init() {}
