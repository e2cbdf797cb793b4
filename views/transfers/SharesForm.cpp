#include "SharesForm.h"

SharesForm* sharesForm = nullptr;

SharesForm::SharesForm(QWidget* ip_parent) : QWidget(ip_parent)
{
    sharesForm = this;
}

SharesForm::~SharesForm()
{
    if (sharesForm == this)
        sharesForm = nullptr;
}

void SharesForm::Init() {}

void SharesForm::OpenShareBrowse(std::string)
{
    // LATER (share browser): the user's browse tab, asking for the share
    // list when none is stored.
}
