#include "SearchForm.h"

SearchForm::SearchForm(QWidget* ip_parent) : QWidget(ip_parent) {}

SearchForm::~SearchForm() = default;

void SearchForm::Init() {}
