#pragma once
// The tree of the views: it reports every key press before handling it, so
// a view sees the key while the current row is still the old one.

#include <QTreeWidget>

class QKeyEvent;

class TreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    explicit TreeWidget(QWidget* ip_parent = nullptr);
    ~TreeWidget() override;

signals:
    void KeyPressed(QKeyEvent* ip_event);

protected:
    void keyPressEvent(QKeyEvent* ip_event) override;
};
