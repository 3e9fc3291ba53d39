#pragma once

#include <QDialog>

// The navigator over the store's types. For now an empty dialog: it comes with the diagnostics
// views.
class TypeNavigatorDialog : public QDialog
{
    Q_OBJECT

public:
    using QDialog::QDialog;
};
