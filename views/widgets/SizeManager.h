#pragma once
// Remembers the geometry of the user interface between runs: window position
// and size, splitter panes and tree column widths. A widget registered under
// a name takes the record of that name (or makes it from its present state)
// and from then on every change the user makes is written to the store,
// which the state file keeps. Several splitters or trees of one name share
// one record and move together.

#include <QList>
#include <QMargins>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>

#include <string>
#include <unordered_map>

class Item;
class QEvent;
class QSplitter;
class QTreeWidget;

// How the manager reads, sets and follows a window. The getters return the
// units the setters take; WindowMoved and WindowResized carry the window's
// normal geometry only, never a maximised, minimised or full-screen one.
class ResizableWindow : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual int GetX() = 0;
    virtual int GetY() = 0;
    virtual int GetWidth() = 0;
    virtual int GetHeight() = 0;
    virtual void SetPosition(int i_x, int i_y) = 0;
    virtual void SetSize(int i_width, int i_height) = 0;
    // False where the platform neither reports nor sets window positions:
    // then only the size is recorded and restored.
    virtual bool HasPosition() { return true; }

signals:
    void WindowMoved(int i_x, int i_y);
    void WindowResized(int i_width, int i_height);
};

// The geometry (without frame) a window gets for the wanted one on the
// screens as they are now: unchanged while its title bar lies on a screen's
// available area and (with i_shrink) it fits there; otherwise moved to the
// nearest screen and, with i_shrink, shrunk to that screen's available
// area. i_frame is the window frame around the geometry.
QRect FitOnScreens(const QRect& i_geometry, const QMargins& i_frame, bool i_shrink);

class SizeManager : public QObject
{
    Q_OBJECT

public:
    // Makes the store types; runs before the state file is loaded.
    explicit SizeManager(QObject* ip_parent = nullptr);
    ~SizeManager() override;

    void RegisterResizableWindow(QString i_name, ResizableWindow* ip_window);
    // The caller sets any default layout on the splitter first; i_defaults
    // (possibly empty) is what a name without a record starts from.
    void RegisterSplitter(QString i_name, QSplitter* ip_splitter, QList<int> i_defaults);
    void RegisterTreeWidget(QString i_name, QTreeWidget* ip_tree);
    // Drops the record of a tree name.
    void ForgetTreeWidget(QString i_name);

protected:
    // Records a splitter's first real layout when its name has no usable
    // record yet.
    bool eventFilter(QObject* ip_watched, QEvent* ip_event) override;

private slots:
    void OnWindowMoved(int i_x, int i_y);
    void OnWindowResized(int i_width, int i_height);
    void OnSplitterMoved(int i_position, int i_index);
    void OnSplitterDestroyed(QObject* ip_object);
    void OnTreeColumnResizedMoved(int i_column, int i_oldSize, int i_newSize);
    void OnTreeDestroyed(QObject* ip_object);

private:
    // The record behind a registered widget; null for an unknown one.
    Item* RecordOf(const char* ip_widgetType, const char* ip_recordType, QObject* ip_widget) const;
    // Ties a live widget to a record through its widget item.
    void Attach(Item* ip_record, const char* ip_widgetType, QObject* ip_widget);
    void Detach(const char* ip_widgetType, QObject* ip_object);
    // The live widget behind a widget item; null once it is gone.
    QObject* WidgetOf(Item* ip_widgetItem) const;

    void RecordWindowValues(QObject* ip_window, const char* ip_typeA, int i_a, const char* ip_typeB, int i_b);
    void RecordSplitter(Item* ip_record, const QList<int>& i_sizes);
    void RecordFirstLayout(QSplitter* ip_splitter);

    bool m_synchronizing = false;
    // Widget address (the widget item's value) to the live widget.
    std::unordered_map<std::string, QPointer<QObject>> m_widgets;
};

extern SizeManager* sizeManager;
