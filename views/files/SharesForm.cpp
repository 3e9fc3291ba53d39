#include "SharesForm.h"

#include "ActionSetToolBar.h"
#include "Data.h"
#include "GeneralFunctions.h"
#include "PeerMessenger.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "ToolTips.h"
#include "UIFunctions.h"
#include "ui_SharesForm.h"

SharesForm* sharesForm = nullptr;

SharesForm::SharesForm(QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(std::make_unique<Ui_SharesForm>())
{
    mp_ui->setupUi(this);
    sharesForm = this;
}

SharesForm::~SharesForm()
{
    if (sharesForm == this)
        sharesForm = nullptr;
}

void SharesForm::Init()
{
    PathNode* lp_root = new PathNode(&d, "user_share");
    new PathNode(lp_root, "user_share_loaded", OnConnect);
    d.AddPathEventHandler(lp_root,
                          new EventHandler<SharesForm, Item*>(this, &SharesForm::OnUserShare));

    d.NewType("user_share_tab", true, false, true);
    d["user"]->RelateToType("user_share_tab", One, One, false);
    d.NewType("user_share_folder_node", false, false, true);
    d["user_share_folder_node"]->RelateToType("user_share_folder", One, One, false);
    d.NewType("user_share_file_node", false, false, true);
    d["user_share_file_node"]->RelateToType("user_share_file", One, One, false);

    connect(mp_ui->tabControl, &QTabWidget::tabCloseRequested, this,
            &SharesForm::OnTabCloseRequested);

    if (!actionBar)
        return;
    actionBar->AddSetAction("share_folders", "download_share_folder", "Download Folder",
                            ":/icons/transfer_icon", true);
    actionBar->AddSetAction("share_folders", "expand_level", "Expand Level", ":/icons/browse_icon",
                            false);
    actionBar->AddSetAction("share_folders", "collapse_all", "Collapse All", ":/icons/browse_icon",
                            false);
    actionBar->AddSetAction("share_folders", "expand_all", "Expand All", ":/icons/browse_icon",
                            false);
    actionBar->AddSetAction("share_files", "download_share_file", "Download File",
                            ":/icons/transfer_icon", true);
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this,
            &SharesForm::OnToolBarActionTriggered);
}

ShareForm* SharesForm::FindShareForm(const std::string& i_user) const
{
    ItemPtr l_tab = d["user"]->HasItem(i_user)["user_share_tab"];
    if (!l_tab)
        return nullptr;
    Type* lp_tabType = d["user_share_tab"];
    for (int l_index = 0; l_index < mp_ui->tabControl->count(); ++l_index)
    {
        QWidget* lp_page = mp_ui->tabControl->widget(l_index);
        if (lp_tabType->HasItem(Value(lp_page)) == l_tab)
            return qobject_cast<ShareForm*>(lp_page);
    }
    return nullptr;
}

ShareForm* SharesForm::OpenShareBrowse(std::string i_user)
{
    d["user"]->GetItem(i_user);
    if (ShareForm* lp_open = FindShareForm(i_user))
    {
        FocusWidgetAndParents(lp_open);
        return lp_open;
    }
    ShareForm* lp_form = new ShareForm(i_user, this);
    // A name from the network: its ampersands are characters, not shortcut markers.
    const QString l_shown = ShownName(i_user);
    const int l_tab = mp_ui->tabControl->addTab(lp_form, EscapeAmpersands(l_shown));
    mp_ui->tabControl->setTabToolTip(l_tab, PlainToolTip(l_shown));
    if (peerMessenger)
        peerMessenger->GetUserSharedFiles(i_user);
    FocusWidgetAndParents(lp_form);
    return lp_form;
}

void SharesForm::OnUserShare(Item* ip_share)
{
    // Showing or dropping the list changes the store: not inside the event that announced it.
    const std::string l_user = ItemPtr(ip_share)["user"].AsString();
    QMetaObject::invokeMethod(
        this, [this, l_user] { DeliverUserShare(l_user); }, Qt::QueuedConnection);
}

void SharesForm::DeliverUserShare(const std::string& i_user)
{
    ItemPtr l_share = d["user"]->HasItem(i_user)["user_share"];
    if (!l_share || !l_share.IsConnected("user_share_loaded"))
        return;
    if (ShareForm* lp_form = FindShareForm(i_user))
        lp_form->SetShare(l_share);
    else if (sharedFoldersManager)
        sharedFoldersManager->RemoveUserShare(i_user);
}

void SharesForm::OnToolBarActionTriggered(std::string i_action)
{
    ShareForm* lp_form = qobject_cast<ShareForm*>(mp_ui->tabControl->currentWidget());
    if (!lp_form)
        return;
    if (i_action == "expand_level")
        lp_form->ExpandLevel();
    else if (i_action == "collapse_all")
        lp_form->CollapseAll();
    else if (i_action == "expand_all")
        lp_form->ExpandAll();
}

void SharesForm::OnTabCloseRequested(int i_tabIndex)
{
    ShareForm* lp_form = qobject_cast<ShareForm*>(mp_ui->tabControl->widget(i_tabIndex));
    if (!lp_form)
        return;
    mp_ui->tabControl->removeTab(i_tabIndex);
    lp_form->Delete();
}

QTabWidget* SharesForm::TabControl() const
{
    return mp_ui->tabControl;
}
