#pragma once
// Names that other users chose (user and room names), and other texts the
// user did not write, where they become the text of a tab, a toolbar
// button, a menu entry or a window title. There the toolkit takes "&" as a
// shortcut mark, reads tool tips that look like markup as markup, and sizes
// the widget (and so the window's minimum) to the whole text. These shown
// forms keep a name as written, one line high and of bounded width; the
// whole name goes into the tool tip. Chat lines and lists show names whole.

#include <QString>

class QFontMetrics;
class QIcon;
class QTabWidget;
class QWidget;

// The widest a name is shown in such places, in the metrics' font.
int NameWidthLimit(const QFontMetrics& i_metrics);

// The name on one line (control characters show as spaces), elided at the
// end to NameWidthLimit.
QString BoundedName(const QString& i_name, const QFontMetrics& i_metrics);

// BoundedName with "&" doubled, for texts that take shortcut marks (tabs,
// tool buttons, actions, menu entries).
QString BoundedMnemonicName(const QString& i_name, const QFontMetrics& i_metrics);

// A window title as written: the toolkit's placeholder "[*]" shows as
// written too. For the whole title, since a name next to the title's own
// brackets can form one ("[" + "*" + "]").
QString ShownTitle(const QString& i_title);

// The whole name as a tool tip that shows it as written, markup and all,
// wrapped where it would not fit on a screen.
QString NameToolTip(const QString& i_name);

// Adds the page as a tab named by the name, bounded, with the whole name in
// the tab's tool tip; returns the tab's index.
int AddNameTab(QTabWidget* ip_tabs, QWidget* ip_page, const QString& i_name);
int AddNameTab(QTabWidget* ip_tabs, QWidget* ip_page, const QIcon& i_icon, const QString& i_name);
