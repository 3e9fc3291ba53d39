#include "TransfersForm.h"

TransfersForm::TransfersForm(QWidget* ip_parent) : QWidget(ip_parent) {}

void TransfersForm::Init() {}
