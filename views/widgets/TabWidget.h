#pragma once
// The tab controls of the main window and the views.

#include <QTabBar>
#include <QTabWidget>

#include <vector>

// Gives the focus to the marked widget of each page it brings to the front
// (see FocusFunctions.h).
class TabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit TabWidget(QWidget* ip_parent = nullptr);
    ~TabWidget() override;

public slots:
    void OnTabChanged(int i_tab);
};

// The tab bar of the private-chat tabs, of which a flood of messages from
// new users opens thousands. The toolkit's bar lays out every tab on each
// tab added, measuring each tab's text and placing each tab's close-button
// widget, so adding a tab would cost in proportion to the tabs open. This
// bar measures a tab once and draws and handles the close buttons itself,
// so a layout only adds up known sizes. Its tabs are text only.
class RoomTabBar : public QTabBar
{
    Q_OBJECT

public:
    explicit RoomTabBar(QWidget* ip_parent = nullptr);
    ~RoomTabBar() override;

    void SetClosable(bool i_closable);
    bool IsClosable() const { return m_closable; }
    // Where the tab's close button is drawn; empty when it has none.
    QRect CloseRect(int i_index) const;

protected:
    QSize tabSizeHint(int i_index) const override;
    QSize minimumTabSizeHint(int i_index) const override;
    void initStyleOption(QStyleOptionTab* op_option, int i_index) const override;
    void tabRemoved(int i_index) override;
    void paintEvent(QPaintEvent* ip_event) override;
    void mousePressEvent(QMouseEvent* ip_event) override;
    void mouseReleaseEvent(QMouseEvent* ip_event) override;
    bool event(QEvent* ip_event) override;
    void changeEvent(QEvent* ip_event) override;

    void tabInserted(int i_index) override;

private:
    // A tab's sizes, for the text they were measured with.
    struct Measured
    {
        QString text;
        QSize size;
        QSize minimum;
    };
    const Measured& Measure(int i_index) const;
    // The toolkit's size with room for the close button.
    QSize FullSize(int i_index) const;
    QSize CloseSize() const;
    // The tab whose close button is at the point, or -1.
    int CloseAt(const QPoint& i_point) const;
    void SetHovered(int i_index);

    bool m_closable = false;
    int m_hovered = -1;
    int m_pressed = -1;
    // By tab index; an entry whose text differs is measured again.
    mutable std::vector<Measured> m_measured;
    mutable bool m_measuringMinimum = false;
};

// The main window's private-chat tabs.
class RoomTabWidget : public QTabWidget
{
    Q_OBJECT

public:
    explicit RoomTabWidget(QWidget* ip_parent = nullptr);
    ~RoomTabWidget() override;

    // The close buttons are the bar's own (see RoomTabBar); these stand in
    // for the toolkit's, which would give every tab a button widget.
    void setTabsClosable(bool i_closable);
    bool tabsClosable() const;
    RoomTabBar* Bar() const { return mp_bar; }

private:
    RoomTabBar* mp_bar;
};
