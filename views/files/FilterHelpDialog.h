#pragma once

#include <QDialog>

#include <memory>

class Ui_FilterHelpDialog;

// Explains the words and tokens that the filter boxes of search results and browsed shares
// accept. One at a time, the global filterHelpDialog; it is deleted when closed.
class FilterHelpDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FilterHelpDialog(QWidget* ip_parent = nullptr);
    ~FilterHelpDialog() override;

private:
    std::unique_ptr<Ui_FilterHelpDialog> mp_ui;
};

extern FilterHelpDialog* filterHelpDialog;
