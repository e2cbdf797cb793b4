#pragma once
// A style that stands in front of a base style chosen by name and draws and
// measures exactly as that style does. Nothing in the client sets it; the
// application keeps the toolkit's default style.
//
// QProxyStyle forwards every request to the base style and owns it. A name
// the style factory does not know leaves the base to QProxyStyle, which then
// takes the application's own style, so every request still has an answer.

#include <QProxyStyle>
#include <QString>

class ProxyStyle : public QProxyStyle
{
public:
    explicit ProxyStyle(QString const& i_styleName) : QProxyStyle(i_styleName) {}
};
