#include "ShowState.h"

bool g_showIsOver = false;
