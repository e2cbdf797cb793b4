#include "TransfersForm.h"

TransfersForm::TransfersForm(QWidget* ip_parent) : QWidget(ip_parent) {}

TransfersForm::~TransfersForm() = default;

void TransfersForm::Init() {}
