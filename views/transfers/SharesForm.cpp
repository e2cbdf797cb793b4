#include "SharesForm.h"
#include "ui_SharesForm.h"

#include "ActionSetToolBar.h"
#include "GeneralFunctions.h"
#include "LiveAddresses.h"
#include "PeerMessenger.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "ShownNames.h"
#include "TextConversion.h"

SharesForm* sharesForm = nullptr;

SharesForm::SharesForm(QWidget* ip_parent) : QWidget(ip_parent), mp_ui(new Ui::SharesForm)
{
    mp_ui->setupUi(this);
    sharesForm = this;
}

SharesForm::~SharesForm()
{
    DisableHandlers();
    if (sharesForm == this)
        sharesForm = nullptr;
    delete mp_ui;
}

void SharesForm::Init()
{
    // The manager connects the loaded mark once the whole list is stored.
    auto* path = new PathNode(d, "user_share");
    new PathNode(path, "user_share_loaded", NotifyOnConnect);
    AddPathHandler(path, this, &SharesForm::OnUserShare);

    Type* tab = d->NewType("user_share_tab", true, false, true);
    T("user")->RelateToType(tab, One, One, false);
    Type* folderNode = d->NewType("user_share_folder_node", false, false, true);
    folderNode->RelateToType(T("user_share_folder"), One, One, false);
    Type* fileNode = d->NewType("user_share_file_node", false, false, true);
    fileNode->RelateToType(T("user_share_file"), One, One, false);

    connect(mp_ui->tabControl, &QTabWidget::tabCloseRequested, this, &SharesForm::OnTabCloseRequested);

    if (actionBar)
    {
        const std::string transfer = ":/icons/transfer_icon";
        const std::string browse = ":/icons/browse_icon";
        actionBar->AddSetAction("share_folders", "download_share_folder", "Download Folder", transfer, true);
        actionBar->AddSetAction("share_folders", "expand_level", "Expand Level", browse, false);
        actionBar->AddSetAction("share_folders", "collapse_all", "Collapse All", browse, false);
        actionBar->AddSetAction("share_folders", "expand_all", "Expand All", browse, false);
        actionBar->AddSetAction("share_files", "download_share_file", "Download File", transfer, true);
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &SharesForm::OnToolBarActionTriggered);
    }
}

TabWidget* SharesForm::TabControl() const
{
    return mp_ui->tabControl;
}

ShareForm* SharesForm::CurrentShareForm() const
{
    return qobject_cast<ShareForm*>(mp_ui->tabControl->currentWidget());
}

ShareForm* SharesForm::ViewOfUser(ItemPtr i_user)
{
    ItemPtr tab = i_user["user_share_tab"];
    return LiveObject<ShareForm>(tab);
}

void SharesForm::OpenShareBrowse(std::string i_user)
{
    if (ShareForm* view = ViewOfUser(T("user")->GetItem(i_user)))
    {
        FocusWidgetAndParents(view);
        return;
    }
    auto* view = new ShareForm(i_user, this);
    AddNameTab(mp_ui->tabControl, view, FromName(i_user));
    if (peerMessenger)
        peerMessenger->GetUserSharedFiles(i_user);
    FocusWidgetAndParents(view);
}

void SharesForm::OnUserShare(Item* ip_share)
{
    ItemPtr user = ip_share->GetItem("user");
    if (!user)
        return;
    if (ShareForm* view = ViewOfUser(user))
        view->SetShare(ip_share);
    else if (sharedFoldersManager)
        sharedFoldersManager->RemoveUserShare(user.AsString());
}

void SharesForm::OnTabCloseRequested(int i_tabIndex)
{
    auto* view = qobject_cast<ShareForm*>(mp_ui->tabControl->widget(i_tabIndex));
    if (!view)
        return;
    mp_ui->tabControl->removeTab(i_tabIndex);
    view->Delete();
}

void SharesForm::OnToolBarActionTriggered(std::string i_action)
{
    ShareForm* view = CurrentShareForm();
    if (!view)
        return;
    if (i_action == "expand_level")
        view->ExpandLevel();
    else if (i_action == "collapse_all")
        view->CollapseAll();
    else if (i_action == "expand_all")
        view->ExpandAll();
}
