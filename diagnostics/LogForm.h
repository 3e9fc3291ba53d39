#pragma once

#include <QWidget>

#include <memory>

class Ui_LogForm;

// A form with one text browser, for showing a log on its own.
class LogForm : public QWidget
{
    Q_OBJECT

public:
    explicit LogForm(QWidget* ip_parent = nullptr);
    ~LogForm() override;

private:
    std::unique_ptr<Ui_LogForm> mp_ui;
};
