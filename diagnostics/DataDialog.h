#pragma once

#include <QDialog>

// The store inspector. For now an empty dialog: it comes with the diagnostics views.
class DataDialog : public QDialog
{
    Q_OBJECT

public:
    using QDialog::QDialog;
};
