#include "DiagnosticsForm.h"

DiagnosticsForm* diagnosticsForm = nullptr;

DiagnosticsForm::DiagnosticsForm(QWidget* ip_parent) : QWidget(ip_parent)
{
    diagnosticsForm = this;
}

DiagnosticsForm::~DiagnosticsForm()
{
    if (diagnosticsForm == this)
        diagnosticsForm = nullptr;
}

void DiagnosticsForm::Init() {}
