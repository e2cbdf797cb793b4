#pragma once
// Path, number and text helpers shared by every layer, and the two ways of
// bringing a widget to the front.
//
// Path functions take byte strings and accept both "/" and "\" as
// separators; lower-casing is ASCII only (A-Z), never locale-dependent.

#include <QString>
#include <string>

class QWidget;

// The part before the last separator, after one trailing separator is
// dropped; the whole text when it holds no separator; "" for "".
std::string GetFolder(const std::string& i_path);

// The part after the last separator, after one trailing separator is
// dropped; the whole text when it holds no separator; "" for "".
std::string GetFileName(const std::string& i_path);

// Trailing "\" are dropped, then one trailing "/" or "\", then the part
// before the last separator is returned; "" when there is no separator or
// nothing is left.
std::string GetParentFolder(const std::string& i_path);

// Normalised form used to compare paths: every run of separators shrinks to
// its first character, one trailing separator goes, A-Z become a-z.
std::string GetAbsoluteFileName(const std::string& i_path);

// The lower-cased text after the last "." of the last path component; ""
// when that component has no ".".
std::string GetFileExtension(const std::string& i_path);

// A local path in the form it travels in: every "/" becomes "\".
std::string ToWirePath(std::string i_path);
// A path from the wire in local form: every "\" becomes "/".
std::string ToLocalPath(std::string i_path);

// The components of a path in reverse order joined by "/"; empty components
// (runs of separators, leading or trailing ones) are skipped.
// "Music\\Artist\\Album\\" gives "Album/Artist/Music".
std::string ReversePathname(const std::string& i_path);

// A duration as compact text: "<d>d" when there are whole days, "<h>h" when
// there are days or hours, then "<m>m<s>s". 205 gives "3m25s". A negative
// duration (bad input) is shown as 0.
QString FormatSeconds(long i_seconds);

// Decimal with "," between groups of three digits; "" for 0 and negatives.
QString CommafyNumber(long long i_number);

// Replaces & < > and " by their entities, so that the result can be put in
// rich text, in element content or in a double-quoted attribute.
QString EscapeHTML(const QString& i_text);

// Turns every http:// or https:// address into <a href="LINK">LINK</a>.
// Meant for text that EscapeHTML has already escaped: a link never contains
// a raw " < or >, and it ends before "&quot;", "&lt;" and "&gt;", so an
// address cannot leave the attribute or swallow the markup around it.
// "&amp;" stays inside a link. Trailing punctuation is not part of a link.
QString ConvertLinks(const QString& i_text);

// True when bit i_n of i_value is set, counting from 1 at the least
// significant bit; false for an n outside 1..32.
bool GetBit(unsigned int i_value, int i_n);

// Makes every enclosing QTabWidget show the page holding the widget, then
// activates its window and gives the widget the keyboard focus: the focus
// ends on the widget itself.
void FocusWidget(QWidget* ip_widget);

// Activates the window and gives the widget the focus first, then makes the
// enclosing tab pages current, inner first. A tab widget that moves the
// focus to a marked child of the page it shows may therefore take the focus
// on from the widget (how a chat view hands it to its entry line).
void FocusWidgetAndParents(QWidget* ip_widget);
