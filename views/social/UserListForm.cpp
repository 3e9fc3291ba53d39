#include "UserListForm.h"

UserListForm::UserListForm(QWidget* ip_parent) : QWidget(ip_parent) {}

void UserListForm::Init() {}
