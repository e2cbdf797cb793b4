#include "SizeManager.h"

#include "Data.h"
#include "DataSaver.h"
#include "TextConversion.h"

#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QScreen>
#include <QSplitter>
#include <QTreeWidget>

#include <algorithm>
#include <utility>
#include <vector>

SizeManager* sizeManager = nullptr;

namespace
{
const char* const kWindow = "sizer_window";
const char* const kWindowWidget = "sizer_window_widget";
const char* const kTree = "sizer_tree";
const char* const kTreeWidget = "sizer_tree_widget";
const char* const kColumn = "sizer_tree_column";
const char* const kColumnNumber = "sizer_tree_column_number";
const char* const kSplitter = "sizer_splitter";
const char* const kSplitterWidget = "sizer_splitter_widget";
const char* const kPane = "sizer_splitter_index";
const char* const kPaneNumber = "sizer_splitter_index_number";
const char* const kSize = "sizer_size";

// A title bar is this high at least, and this much of its width must lie on
// a screen for the user to grab it.
const int kTitleHeight = 24;
const int kTitleGrip = 50;

std::string NameBytes(const QString& i_name)
{
    return ToLatin1(i_name);
}

std::string AddressOf(const QObject* ip_object)
{
    return Value(ip_object).Text();
}

// Removes a value item that no record uses any more.
void DropIfLoose(Item* ip_item)
{
    if (ip_item && !ip_item->IsRemoved() && ip_item->IsDisconnectedFromAll())
        ip_item->Remove();
}

// A record's entries (columns or panes) as (number, size), by number.
std::vector<std::pair<int, int>> StoredEntries(Item* ip_record, const char* ip_entryType, const char* ip_numberType)
{
    std::vector<std::pair<int, int>> entries;
    for (Item* entry : ip_record->GetItems(ip_entryType).SortNumericBy(ip_numberType, true))
        entries.emplace_back(int(ItemPtr(entry)[ip_numberType].AsInt()), int(ItemPtr(entry)[kSize].AsInt()));
    return entries;
}

// Sets the size of entry i_number of a record, making the entry if needed;
// the size item it leaves goes when nothing else uses it.
void SetEntrySize(Item* ip_record, const char* ip_entryType, const char* ip_numberType, int i_number, int i_size)
{
    Item* number = T(ip_numberType)->GetItem(Value(i_number));
    ItemPtr entry = d->GetItem(ip_record, number, ip_entryType);
    if (!entry)
    {
        entry = T(ip_entryType)->NewItem();
        entry += ip_record;
        entry += number;
    }
    Item* old = entry[kSize];
    entry += T(kSize)->GetItem(Value(i_size));
    if (old != entry[kSize])
        DropIfLoose(old);
}

// Sizes that all are 0 come from a splitter that was never laid out; they
// would collapse every pane, so they are no record.
bool IsLaidOut(const QList<int>& i_sizes)
{
    return std::any_of(i_sizes.begin(), i_sizes.end(), [](int i_size) { return i_size > 0; });
}

// A splitter's sizes once it is on screen. One that has never been shown
// still has the toolkit's first size: its panes are squeezed into that, and
// recorded, they would squeeze every splitter of its name.
QList<int> ShownSplitterSizes(QSplitter* ip_splitter)
{
    return ip_splitter->isVisible() ? ip_splitter->sizes() : QList<int>();
}

QList<int> StoredSplitterSizes(Item* ip_record)
{
    QList<int> sizes;
    if (ip_record)
        for (const auto& entry : StoredEntries(ip_record, kPane, kPaneNumber))
            sizes << entry.second;
    return sizes;
}

bool StretchesLast(QHeaderView* ip_header, int i_column)
{
    return ip_header->stretchLastSection() && i_column == ip_header->count() - 1;
}
}

// ---------------------------------------------------------------- screens

QRect FitOnScreens(const QRect& i_geometry, const QMargins& i_frame, bool i_shrink)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (screens.isEmpty() || i_geometry.isEmpty())
        return i_geometry;

    const QRect frame = i_geometry.marginsAdded(i_frame);
    const QRect title(frame.left(), frame.top(), frame.width(), std::max(i_frame.top(), kTitleHeight));
    QScreen* target = nullptr;
    for (QScreen* screen : screens)
    {
        const QRect part = screen->availableGeometry().intersected(title);
        if (part.height() == title.height() && part.width() >= std::min(title.width(), kTitleGrip))
        {
            target = screen;
            break;
        }
    }
    const bool move = !target;
    if (move)
    {
        // The screen nearest to the window's centre.
        const QPoint centre = frame.center();
        long long best = -1;
        for (QScreen* screen : screens)
        {
            const QRect area = screen->availableGeometry();
            const long long dx = std::max({area.left() - centre.x(), 0, centre.x() - area.right()});
            const long long dy = std::max({area.top() - centre.y(), 0, centre.y() - area.bottom()});
            const long long distance = dx * dx + dy * dy;
            if (best < 0 || distance < best)
            {
                best = distance;
                target = screen;
            }
        }
    }

    const QRect area = target->availableGeometry();
    const QSize room(std::max(1, area.width() - i_frame.left() - i_frame.right()),
                     std::max(1, area.height() - i_frame.top() - i_frame.bottom()));
    const QSize size = i_shrink ? i_geometry.size().boundedTo(room) : i_geometry.size();
    if (!move && size == i_geometry.size())
        return i_geometry;

    // Moved or shrunk: the frame goes inside the screen's area, its top
    // left corner first when it is still larger.
    const int frameWidth = size.width() + i_frame.left() + i_frame.right();
    const int frameHeight = size.height() + i_frame.top() + i_frame.bottom();
    const int x = std::max(area.left(), std::min(frame.left(), area.left() + area.width() - frameWidth));
    const int y = std::max(area.top(), std::min(frame.top(), area.top() + area.height() - frameHeight));
    return QRect(QPoint(x + i_frame.left(), y + i_frame.top()), size);
}

// ---------------------------------------------------------------- manager

SizeManager::SizeManager(QObject* ip_parent) : QObject(ip_parent)
{
    sizeManager = this;

    Type* window = MakeType(kWindow, true, false, true);
    Type* windowWidget = MakeType(kWindowWidget, true, false, true);
    Type* x = MakeType("sizer_x", false, false, true);
    Type* y = MakeType("sizer_y", false, false, true);
    Type* width = MakeType("sizer_width", false, false, true);
    Type* height = MakeType("sizer_height", false, false, true);
    Type* size = MakeType(kSize, false, false, true);
    Type* tree = MakeType(kTree, true, false, true);
    Type* treeWidget = MakeType(kTreeWidget, true, false, true);
    Type* columnNumber = MakeType(kColumnNumber, false, false, true);
    Type* column = MakeType(kColumn, false, true, true);
    Type* splitter = MakeType(kSplitter, true, false, true);
    Type* splitterWidget = MakeType(kSplitterWidget, true, false, true);
    Type* paneNumber = MakeType(kPaneNumber, false, false, true);
    Type* pane = MakeType(kPane, false, true, true);

    Relate(window, windowWidget, One, One);
    Relate(window, x, Many, One);
    Relate(window, y, Many, One);
    Relate(window, width, Many, One);
    Relate(window, height, Many, One);
    Relate(tree, treeWidget, One, Many);
    Relate(column, tree, Many, One);
    Relate(column, columnNumber, Many, One);
    Relate(column, size, Many, One);
    Relate(splitter, splitterWidget, One, Many);
    Relate(pane, splitter, Many, One);
    Relate(pane, paneNumber, Many, One);
    Relate(pane, size, Many, One);

    // The widget types tie live objects to records: they mean nothing after
    // a restart and are not saved.
    for (const char* saved : {kWindow, kTree, kColumnNumber, kColumn, kSplitter, kPaneNumber, kPane, "sizer_x", "sizer_y",
                              "sizer_width", "sizer_height", kSize})
        SaveType(saved);
}

SizeManager::~SizeManager()
{
    if (sizeManager == this)
        sizeManager = nullptr;
}

Item* SizeManager::RecordOf(const char* ip_widgetType, const char* ip_recordType, QObject* ip_widget) const
{
    if (!ip_widget)
        return nullptr;
    Item* widget = T(ip_widgetType)->HasItem(AddressOf(ip_widget));
    return widget ? widget->GetItem(ip_recordType) : nullptr;
}

void SizeManager::Attach(Item* ip_record, const char* ip_widgetType, QObject* ip_widget)
{
    const std::string address = AddressOf(ip_widget);
    ItemPtr(ip_record) += T(ip_widgetType)->GetItem(address);
    m_widgets[address] = ip_widget;
}

void SizeManager::Detach(const char* ip_widgetType, QObject* ip_object)
{
    const std::string address = AddressOf(ip_object);
    m_widgets.erase(address);
    if (Item* widget = T(ip_widgetType)->HasItem(address))
        widget->Remove();
}

QObject* SizeManager::WidgetOf(Item* ip_widgetItem) const
{
    const auto it = m_widgets.find(ip_widgetItem->GetValue());
    return it == m_widgets.end() ? nullptr : it->second.data();
}

// ---------------------------------------------------------------- windows

void SizeManager::RegisterResizableWindow(QString i_name, ResizableWindow* ip_window)
{
    if (!ip_window)
        return;
    const std::string name = NameBytes(i_name);
    const bool hasPosition = ip_window->HasPosition();
    ItemPtr record = T(kWindow)->HasItem(name);
    if (record)
    {
        if (hasPosition && record["sizer_x"] && record["sizer_y"])
            ip_window->SetPosition(int(record["sizer_x"].AsInt()), int(record["sizer_y"].AsInt()));
        // A missing or useless dimension keeps the present one.
        const int width = int(record["sizer_width"].AsInt());
        const int height = int(record["sizer_height"].AsInt());
        if (width > 0 || height > 0)
            ip_window->SetSize(width > 0 ? width : ip_window->GetWidth(), height > 0 ? height : ip_window->GetHeight());
    }
    else
    {
        record = T(kWindow)->GetItem(name);
        if (hasPosition)
        {
            record += T("sizer_x")->GetItem(Value(ip_window->GetX()));
            record += T("sizer_y")->GetItem(Value(ip_window->GetY()));
        }
        record += T("sizer_width")->GetItem(Value(ip_window->GetWidth()));
        record += T("sizer_height")->GetItem(Value(ip_window->GetHeight()));
    }
    Attach(record, kWindowWidget, ip_window);

    // After the restore, so the restore itself is not taken for the user's.
    connect(ip_window, &ResizableWindow::WindowMoved, this, &SizeManager::OnWindowMoved);
    connect(ip_window, &ResizableWindow::WindowResized, this, &SizeManager::OnWindowResized);
}

void SizeManager::RecordWindowValues(QObject* ip_window, const char* ip_typeA, int i_a, const char* ip_typeB, int i_b)
{
    ItemPtr record = RecordOf(kWindowWidget, kWindow, ip_window);
    if (!record)
        return;
    Item* oldA = record[ip_typeA];
    Item* oldB = record[ip_typeB];
    record += T(ip_typeA)->GetItem(Value(i_a));
    record += T(ip_typeB)->GetItem(Value(i_b));
    if (oldA != record[ip_typeA])
        DropIfLoose(oldA);
    if (oldB != record[ip_typeB])
        DropIfLoose(oldB);
}

void SizeManager::OnWindowMoved(int i_x, int i_y)
{
    RecordWindowValues(sender(), "sizer_x", i_x, "sizer_y", i_y);
}

void SizeManager::OnWindowResized(int i_width, int i_height)
{
    RecordWindowValues(sender(), "sizer_width", i_width, "sizer_height", i_height);
}

// ---------------------------------------------------------------- splitters

void SizeManager::RegisterSplitter(QString i_name, QSplitter* ip_splitter, QList<int> i_defaults)
{
    if (!ip_splitter)
        return;
    const std::string name = NameBytes(i_name);
    Item* record = T(kSplitter)->HasItem(name);
    const QList<int> stored = StoredSplitterSizes(record);
    if (IsLaidOut(stored))
    {
        ip_splitter->setSizes(stored);
    }
    else
    {
        // No record, or only one of a splitter never laid out: start from
        // the defaults or the present sizes, once they are real ones.
        record = T(kSplitter)->GetItem(name);
        const QList<int> first = i_defaults.isEmpty() ? ShownSplitterSizes(ip_splitter) : i_defaults;
        if (IsLaidOut(first))
            RecordSplitter(record, first);
        else
            ip_splitter->installEventFilter(this);
    }
    Attach(record, kSplitterWidget, ip_splitter);

    connect(ip_splitter, &QSplitter::splitterMoved, this, &SizeManager::OnSplitterMoved);
    connect(ip_splitter, &QObject::destroyed, this, &SizeManager::OnSplitterDestroyed);
}

void SizeManager::RecordSplitter(Item* ip_record, const QList<int>& i_sizes)
{
    for (int i = 0; i < i_sizes.size(); ++i)
        SetEntrySize(ip_record, kPane, kPaneNumber, i, i_sizes[i]);
}

bool SizeManager::eventFilter(QObject* ip_watched, QEvent* ip_event)
{
    if (ip_event->type() == QEvent::Resize || ip_event->type() == QEvent::Show)
        if (auto* splitter = qobject_cast<QSplitter*>(ip_watched))
        {
            // The splitter lays its panes out in its own handler of the event.
            QPointer<QSplitter> guard(splitter);
            QMetaObject::invokeMethod(
                this, [this, guard] { RecordFirstLayout(guard); }, Qt::QueuedConnection);
        }
    return QObject::eventFilter(ip_watched, ip_event);
}

void SizeManager::RecordFirstLayout(QSplitter* ip_splitter)
{
    if (!ip_splitter)
        return;
    Item* record = RecordOf(kSplitterWidget, kSplitter, ip_splitter);
    if (!record)
        return;
    if (!IsLaidOut(StoredSplitterSizes(record)))
    {
        const QList<int> sizes = ShownSplitterSizes(ip_splitter);
        if (!IsLaidOut(sizes))
            return;
        RecordSplitter(record, sizes);
    }
    ip_splitter->removeEventFilter(this);
}

void SizeManager::OnSplitterMoved(int, int)
{
    if (m_synchronizing)
        return;
    auto* splitter = qobject_cast<QSplitter*>(sender());
    Item* record = RecordOf(kSplitterWidget, kSplitter, splitter);
    if (!record)
        return;
    const QList<int> sizes = splitter->sizes();
    if (!IsLaidOut(sizes))
        return;
    RecordSplitter(record, sizes);
    splitter->removeEventFilter(this);

    m_synchronizing = true;
    const std::string self = AddressOf(splitter);
    for (Item* widget : record->GetItems(kSplitterWidget))
        if (widget->GetValue() != self)
            if (auto* other = qobject_cast<QSplitter*>(WidgetOf(widget)))
                other->setSizes(sizes);
    m_synchronizing = false;
}

void SizeManager::OnSplitterDestroyed(QObject* ip_object)
{
    Detach(kSplitterWidget, ip_object);
}

// ---------------------------------------------------------------- trees

void SizeManager::RegisterTreeWidget(QString i_name, QTreeWidget* ip_tree)
{
    if (!ip_tree)
        return;
    const std::string name = NameBytes(i_name);
    QHeaderView* header = ip_tree->header();
    Item* record = T(kTree)->HasItem(name);
    if (record)
    {
        for (const auto& entry : StoredEntries(record, kColumn, kColumnNumber))
            if (entry.second > 0)
                header->resizeSection(entry.first, entry.second);
    }
    else
    {
        record = T(kTree)->GetItem(name);
        for (int c = 0; c < header->count(); ++c)
            if (!StretchesLast(header, c))
                SetEntrySize(record, kColumn, kColumnNumber, c, header->sectionSize(c));
    }
    Attach(record, kTreeWidget, ip_tree);

    connect(header, &QHeaderView::sectionResized, this, &SizeManager::OnTreeColumnResizedMoved);
    connect(ip_tree, &QObject::destroyed, this, &SizeManager::OnTreeDestroyed);
}

void SizeManager::OnTreeColumnResizedMoved(int, int, int)
{
    if (m_synchronizing)
        return;
    auto* header = qobject_cast<QHeaderView*>(sender());
    auto* tree = header ? qobject_cast<QTreeWidget*>(header->parent()) : nullptr;
    Item* record = RecordOf(kTreeWidget, kTree, tree);
    if (!record)
        return;

    m_synchronizing = true;
    std::vector<QTreeWidget*> others;
    const std::string self = AddressOf(tree);
    for (Item* widget : record->GetItems(kTreeWidget))
        if (widget->GetValue() != self)
            if (auto* other = qobject_cast<QTreeWidget*>(WidgetOf(widget)))
                others.push_back(other);
    // Every recorded column is written again, not only the resized one.
    for (int c = 0; c < header->count(); ++c)
    {
        if (StretchesLast(header, c))
            continue;
        const int width = header->sectionSize(c);
        SetEntrySize(record, kColumn, kColumnNumber, c, width);
        for (QTreeWidget* other : others)
            other->header()->resizeSection(c, width);
    }
    m_synchronizing = false;
}

void SizeManager::OnTreeDestroyed(QObject* ip_object)
{
    Detach(kTreeWidget, ip_object);
}

void SizeManager::ForgetTreeWidget(QString i_name)
{
    if (Item* record = T(kTree)->HasItem(NameBytes(i_name)))
        record->Remove();
}
