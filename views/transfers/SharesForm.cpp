#include "SharesForm.h"

SharesForm::SharesForm(QWidget* ip_parent) : QWidget(ip_parent) {}

SharesForm::~SharesForm() = default;

void SharesForm::Init() {}
