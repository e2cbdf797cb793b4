#pragma once
// Whether the main window is being torn down.

// Set first thing when the main window is torn down; slots that can still
// run then (focus moves, destroyed widgets, toolbar triggers) check it and
// do nothing.
extern bool g_showIsOver;
