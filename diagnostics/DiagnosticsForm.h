#pragma once

#include "LogPages.h"

#include <QWidget>

// The Diagnostics page, which receives the lines of Log. For now the page itself is empty: the
// lines are kept until the log view comes with the diagnostics views.
class DiagnosticsForm : public QWidget, public LogPages
{
    Q_OBJECT

public:
    explicit DiagnosticsForm(QWidget* ip_parent = nullptr);
    ~DiagnosticsForm() override;

    // Once at start-up, before the transfer service exists.
    void Init();
};

extern DiagnosticsForm* diagnosticsForm;
