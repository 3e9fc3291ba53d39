#include "LogForm.h"

#include "ui_LogForm.h"

LogForm::LogForm(QWidget* ip_parent) : QWidget(ip_parent), mp_ui(std::make_unique<Ui_LogForm>())
{
    mp_ui->setupUi(this);
}

LogForm::~LogForm() = default;
