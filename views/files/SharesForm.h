#pragma once

#include "DataHandler.h"

#include <QWidget>

#include <memory>
#include <string>

class Item;
class QTabWidget;
class ShareForm;
class Ui_SharesForm;

// The Browse page: one tab per user whose shared files are browsed. It asks the user's client for
// the list, hands the stored list to the waiting tab, drops lists that no tab waits for and frees
// a tab's list when the tab is closed.
class SharesForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit SharesForm(QWidget* ip_parent = nullptr);
    ~SharesForm() override;

    // Once at start-up, after the user and received-list types exist.
    void Init();

    // The user's tab, brought to the front; made, and the list asked for, when there is none.
    ShareForm* OpenShareBrowse(std::string i_user);
    // The tab of the user, or null.
    ShareForm* FindShareForm(const std::string& i_user) const;
    QTabWidget* TabControl() const;

public slots:
    void OnTabCloseRequested(int i_tabIndex);
    void OnToolBarActionTriggered(std::string i_action);

private:
    void OnUserShare(Item* ip_share);
    // Out of the store event that announced the list: hands it over or drops it.
    void DeliverUserShare(const std::string& i_user);

    std::unique_ptr<Ui_SharesForm> mp_ui;
};

extern SharesForm* sharesForm;
