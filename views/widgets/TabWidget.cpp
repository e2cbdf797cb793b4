#include "TabWidget.h"

#include "FocusFunctions.h"

#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

TabWidget::TabWidget(QWidget* ip_parent) : QTabWidget(ip_parent)
{
    connect(this, &QTabWidget::currentChanged, this, &TabWidget::OnTabChanged);
}

TabWidget::~TabWidget() = default;

void TabWidget::OnTabChanged(int i_tab)
{
    if (i_tab != -1)
        FindWidgetFocusProperty(widget(i_tab), 0);
}

RoomTabBar::RoomTabBar(QWidget* ip_parent) : QTabBar(ip_parent) {}

RoomTabBar::~RoomTabBar() = default;

void RoomTabBar::SetClosable(bool i_closable)
{
    if (m_closable == i_closable)
        return;
    m_closable = i_closable;
    // Set by the form before any tab exists; later tabs are measured anew.
    m_measured.clear();
    update();
}

QSize RoomTabBar::CloseSize() const
{
    return QSize(style()->pixelMetric(QStyle::PM_TabCloseIndicatorWidth, nullptr, this),
                 style()->pixelMetric(QStyle::PM_TabCloseIndicatorHeight, nullptr, this));
}

QRect RoomTabBar::CloseRect(int i_index) const
{
    const QRect tab = tabRect(i_index);
    if (!m_closable || tab.isEmpty())
        return QRect();
    const QSize size = CloseSize();
    const int margin = 4;
    const int x = layoutDirection() == Qt::RightToLeft ? tab.left() + margin : tab.right() - margin - size.width() + 1;
    return QRect(QPoint(x, tab.center().y() - size.height() / 2), size);
}

int RoomTabBar::CloseAt(const QPoint& i_point) const
{
    const int index = tabAt(i_point);
    return index >= 0 && CloseRect(index).contains(i_point) ? index : -1;
}

QSize RoomTabBar::FullSize(int i_index) const
{
    QSize size = QTabBar::tabSizeHint(i_index);
    if (m_closable)
        size.rwidth() += CloseSize().width() + 4;
    return size;
}

const RoomTabBar::Measured& RoomTabBar::Measure(int i_index) const
{
    if (size_t(i_index) >= m_measured.size())
        m_measured.resize(size_t(i_index) + 1);
    Measured& measured = m_measured[size_t(i_index)];
    const QString text = tabText(i_index);
    if (measured.size.isValid() && measured.text == text)
        return measured;
    measured.text = text;
    measured.size = FullSize(i_index);
    // The toolkit measures the elided text through tabSizeHint.
    m_measuringMinimum = true;
    measured.minimum = QTabBar::minimumTabSizeHint(i_index);
    m_measuringMinimum = false;
    return measured;
}

QSize RoomTabBar::tabSizeHint(int i_index) const
{
    return m_measuringMinimum ? FullSize(i_index) : Measure(i_index).size;
}

QSize RoomTabBar::minimumTabSizeHint(int i_index) const
{
    return Measure(i_index).minimum;
}

void RoomTabBar::initStyleOption(QStyleOptionTab* op_option, int i_index) const
{
    QTabBar::initStyleOption(op_option, i_index);
    // The text keeps clear of the close button.
    if (m_closable)
    {
        if (layoutDirection() == Qt::RightToLeft)
            op_option->leftButtonSize = CloseSize();
        else
            op_option->rightButtonSize = CloseSize();
    }
}

void RoomTabBar::tabInserted(int i_index)
{
    // The tabs after it move up one; an appended tab moves none.
    if (i_index + 1 < count() && size_t(i_index) < m_measured.size())
        m_measured.insert(m_measured.begin() + i_index, Measured());
    QTabBar::tabInserted(i_index);
}

void RoomTabBar::tabRemoved(int i_index)
{
    m_hovered = -1;
    m_pressed = -1;
    if (size_t(i_index) < m_measured.size())
        m_measured.erase(m_measured.begin() + i_index);
    QTabBar::tabRemoved(i_index);
}

void RoomTabBar::paintEvent(QPaintEvent* ip_event)
{
    QTabBar::paintEvent(ip_event);
    if (!m_closable)
        return;
    QPainter painter(this);
    for (int index = 0; index < count(); ++index)
    {
        const QRect rect = CloseRect(index);
        if (!rect.intersects(ip_event->rect()))
            continue;
        QStyleOption option;
        option.initFrom(this);
        option.rect = rect;
        option.state |= QStyle::State_AutoRaise;
        if (isEnabled() && index == m_hovered)
            option.state |= QStyle::State_Raised | QStyle::State_MouseOver;
        if (index == m_pressed)
            option.state |= QStyle::State_Sunken;
        if (index == currentIndex())
            option.state |= QStyle::State_Selected;
        style()->drawPrimitive(QStyle::PE_IndicatorTabClose, &option, &painter, this);
    }
}

void RoomTabBar::mousePressEvent(QMouseEvent* ip_event)
{
    const int index = ip_event->button() == Qt::LeftButton ? CloseAt(ip_event->position().toPoint()) : -1;
    if (index < 0)
    {
        QTabBar::mousePressEvent(ip_event);
        return;
    }
    m_pressed = index;
    update(CloseRect(index));
    ip_event->accept();
}

void RoomTabBar::mouseReleaseEvent(QMouseEvent* ip_event)
{
    if (m_pressed < 0 || ip_event->button() != Qt::LeftButton)
    {
        QTabBar::mouseReleaseEvent(ip_event);
        return;
    }
    const int pressed = m_pressed;
    m_pressed = -1;
    update(CloseRect(pressed));
    ip_event->accept();
    if (CloseAt(ip_event->position().toPoint()) == pressed)
        emit tabCloseRequested(pressed);
}

void RoomTabBar::SetHovered(int i_index)
{
    if (i_index == m_hovered)
        return;
    update(CloseRect(m_hovered));
    m_hovered = i_index;
    update(CloseRect(m_hovered));
}

bool RoomTabBar::event(QEvent* ip_event)
{
    if (m_closable)
    {
        if (ip_event->type() == QEvent::HoverMove || ip_event->type() == QEvent::HoverEnter)
            SetHovered(CloseAt(static_cast<QHoverEvent*>(ip_event)->position().toPoint()));
        else if (ip_event->type() == QEvent::HoverLeave)
            SetHovered(-1);
    }
    return QTabBar::event(ip_event);
}

void RoomTabBar::changeEvent(QEvent* ip_event)
{
    if (ip_event->type() == QEvent::FontChange || ip_event->type() == QEvent::StyleChange)
        m_measured.clear();
    QTabBar::changeEvent(ip_event);
}

RoomTabWidget::RoomTabWidget(QWidget* ip_parent) : QTabWidget(ip_parent), mp_bar(new RoomTabBar(this))
{
    setTabBar(mp_bar);
    // The toolkit forwards the bar's close requests only for its own
    // close buttons.
    connect(mp_bar, &QTabBar::tabCloseRequested, this, &QTabWidget::tabCloseRequested);
}

RoomTabWidget::~RoomTabWidget() = default;

void RoomTabWidget::setTabsClosable(bool i_closable)
{
    mp_bar->SetClosable(i_closable);
}

bool RoomTabWidget::tabsClosable() const
{
    return mp_bar->IsClosable();
}
