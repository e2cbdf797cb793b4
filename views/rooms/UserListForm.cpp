#include "UserListForm.h"

UserListForm::UserListForm(QWidget* ip_parent) : QWidget(ip_parent) {}

UserListForm::~UserListForm() = default;

void UserListForm::Init() {}
