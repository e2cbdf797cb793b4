// Window, splitter and column geometry kept between runs: the main window
// through the state file, and splitters and trees that share a name.

#include "app/AppTestSupport.h"
#include "common/TestEnvironment.h"

#include "Data.h"
#include "SizeManager.h"
#include "mainwindow.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QScreen>
#include <QSplitter>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

namespace
{
QRect WindowRecord()
{
    ItemPtr record = T("sizer_window")->HasItem("main_window");
    if (!record)
        return QRect();
    return QRect(int(record["sizer_x"].AsInt()), int(record["sizer_y"].AsInt()), int(record["sizer_width"].AsInt()),
                 int(record["sizer_height"].AsInt()));
}

// A record's entries as number -> size.
QMap<int, int> Entries(const char* ip_recordType, const char* ip_name, const char* ip_entryType,
                       const char* ip_numberType)
{
    QMap<int, int> entries;
    if (Item* record = T(ip_recordType)->HasItem(ip_name))
        for (Item* entry : record->GetItems(ip_entryType))
            entries[int(ItemPtr(entry)[ip_numberType].AsInt())] = int(ItemPtr(entry)["sizer_size"].AsInt());
    return entries;
}

QList<int> Panes(const char* ip_name)
{
    return Entries("sizer_splitter", ip_name, "sizer_splitter_index", "sizer_splitter_index_number").values();
}

QMap<int, int> Columns(const char* ip_name)
{
    return Entries("sizer_tree", ip_name, "sizer_tree_column", "sizer_tree_column_number");
}

// Drags a splitter's first handle by i_dx pixels with the mouse.
void Drag(QSplitter* ip_splitter, int i_dx)
{
    QSplitterHandle* handle = ip_splitter->handle(1);
    const QPoint from = handle->rect().center();
    QTest::mousePress(handle, Qt::LeftButton, {}, from);
    QTest::mouseMove(handle, from + QPoint(i_dx / 2, 0));
    QTest::mouseMove(handle, from + QPoint(i_dx, 0));
    QTest::mouseRelease(handle, Qt::LeftButton, {}, from + QPoint(i_dx, 0));
}

bool AllPositive(const QList<int>& i_sizes)
{
    return i_sizes.size() == 2 && i_sizes[0] > 0 && i_sizes[1] > 0;
}

QSplitter* NewSplitter(QWidget* ip_parent)
{
    auto* splitter = new QSplitter(Qt::Horizontal, ip_parent);
    splitter->addWidget(new QLabel("left"));
    splitter->addWidget(new QLabel("right"));
    return splitter;
}

// A window on a platform that neither tells nor sets window positions.
class SizeOnlyWindow : public ResizableWindow
{
public:
    QRect m_geometry{7, 8, 300, 200};
    int m_moves = 0;
    int GetX() override { return m_geometry.x(); }
    int GetY() override { return m_geometry.y(); }
    int GetWidth() override { return m_geometry.width(); }
    int GetHeight() override { return m_geometry.height(); }
    void SetPosition(int i_x, int i_y) override
    {
        ++m_moves;
        m_geometry.moveTo(i_x, i_y);
    }
    void SetSize(int i_width, int i_height) override { m_geometry.setSize(QSize(i_width, i_height)); }
    bool HasPosition() override { return false; }
};

QTreeWidget* NewTree(QWidget* ip_parent)
{
    auto* tree = new QTreeWidget(ip_parent);
    tree->setColumnCount(3);
    return tree;
}
}

class GeometryTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> mp_window;

    // A window without credentials: the first-start dialog is cancelled and
    // the client stays offline.
    void StartWindow()
    {
        ModalDriver modals;
        modals.Then([](QWidget* ip_dialog) { QMetaObject::invokeMethod(ip_dialog, "reject", Qt::QueuedConnection); });
        mp_window = std::make_unique<MainWindow>();
        mp_window->setVisible(true);
        mp_window->Init();
        QVERIFY(QTest::qWaitForWindowExposed(mp_window.get()));
    }

    void CloseWindow()
    {
        mp_window.reset();
        d->Reset();
    }

    QRect Available() const { return QGuiApplication::primaryScreen()->availableGeometry(); }

private slots:
    void init()
    {
        RemoveStateFiles();
        d->Reset();
        for (const char* key : {"listening_port", "obfuscated_listening_port"})
            QVERIFY(StateToolSet(StatePath(), key, FreePort()).isEmpty());
    }

    void cleanup()
    {
        CloseWindow();
        delete sizeManager;
        RemoveStateFiles();
    }

    void windowSplitterAndColumnsComeBackAsLeft()
    {
        StartWindow();
        Ui_MainWindow* ui = mp_window->Form();
        // The first start records what the window shows.
        QVERIFY(WindowRecord().isValid());
        QCOMPARE(Columns("room_list").keys(), QList<int>{0});

        mp_window->setGeometry(30, 40, 500, 400);
        QTRY_COMPARE(WindowRecord(), QRect(30, 40, 500, 400));
        Drag(ui->roomSplitter, -60);
        const QList<int> dragged = ui->roomSplitter->sizes();
        QTRY_COMPARE(Panes("room_list_splitter"), dragged);
        ui->roomList->header()->resizeSection(0, 222);
        QCOMPARE(Columns("room_list").value(0), 222);
        // The stretched last column is never recorded.
        QCOMPARE(Columns("room_list").keys(), QList<int>{0});

        // Maximised and minimised geometries are not the ones to come back to.
        mp_window->showMaximized();
        QTRY_VERIFY(mp_window->isMaximized());
        QTest::qWait(400);
        mp_window->showMinimized();
        QTest::qWait(400);
        mp_window->showNormal();
        QTest::qWait(400);
        QCOMPARE(WindowRecord(), QRect(30, 40, 500, 400));

        CloseWindow();
        StartWindow();
        ui = mp_window->Form();
        QCOMPARE(mp_window->geometry(), QRect(30, 40, 500, 400));
        QTRY_COMPARE(ui->roomSplitter->sizes(), dragged);
        QCOMPARE(ui->roomList->header()->sectionSize(0), 222);
    }

    void savedGeometryThatNoLongerFitsGoesOnScreen_data()
    {
        QTest::addColumn<QRect>("saved");
        QTest::newRow("far right") << QRect(5000, 100, 450, 350);
        QTest::newRow("larger than the screen") << QRect(10, 10, 2000, 1500);
    }

    void savedGeometryThatNoLongerFitsGoesOnScreen()
    {
        QFETCH(QRect, saved);
        StartWindow();
        QTest::qWait(400);
        ItemPtr record = T("sizer_window")->HasItem("main_window");
        record += T("sizer_x")->GetItem(saved.x());
        record += T("sizer_y")->GetItem(saved.y());
        record += T("sizer_width")->GetItem(saved.width());
        record += T("sizer_height")->GetItem(saved.height());

        CloseWindow();
        StartWindow();
        QVERIFY2(Available().contains(mp_window->frameGeometry()),
                 qPrintable(QString("%1,%2 %3x%4")
                                .arg(mp_window->x())
                                .arg(mp_window->y())
                                .arg(mp_window->width())
                                .arg(mp_window->height())));
        if (saved.width() <= Available().width())
            QCOMPARE(mp_window->size(), saved.size());
    }

    void recordWithoutWidthShrinksNothing()
    {
        StartWindow();
        mp_window->setGeometry(20, 20, 600, 500);
        QTRY_COMPARE(WindowRecord(), QRect(20, 20, 600, 500));
        ItemPtr record = T("sizer_window")->HasItem("main_window");
        record.Disconnect("sizer_width");
        record += T("sizer_height")->GetItem(350);

        CloseWindow();
        mp_window = std::make_unique<MainWindow>();
        mp_window->setVisible(true);
        const int before = mp_window->width();
        QVERIFY(before > 0);
        mp_window.reset();
        StartWindow();
        QCOMPARE(mp_window->height(), 350);
        // Only what the screen cannot hold goes.
        const int frame = mp_window->frameGeometry().width() - mp_window->width();
        QCOMPARE(mp_window->width(), qMin(before, Available().width() - frame));
    }

    void withoutWindowPositionsOnlySizesAreKept()
    {
        ResetTestEnvironment();
        new SizeManager(nullptr);
        SizeOnlyWindow first;
        sizeManager->RegisterResizableWindow("main_window", &first);
        ItemPtr record = T("sizer_window")->HasItem("main_window");
        QVERIFY(!record.IsConnected("sizer_x") && !record.IsConnected("sizer_y"));
        emit first.WindowResized(640, 480);

        // A position stored where positions are known stays as it is.
        record += T("sizer_x")->GetItem(100);
        record += T("sizer_y")->GetItem(50);
        SizeOnlyWindow second;
        sizeManager->RegisterResizableWindow("main_window", &second);
        QCOMPARE(second.m_moves, 0);
        QCOMPARE(second.m_geometry, QRect(7, 8, 640, 480));
        QCOMPARE(WindowRecord(), QRect(100, 50, 640, 480));
    }

    void splittersAndTreesOfOneNameMoveTogether()
    {
        ResetTestEnvironment();
        new SizeManager(nullptr);
        QWidget host;
        auto* layout = new QVBoxLayout(&host);
        QPointer<QSplitter> first = NewSplitter(&host);
        QSplitter* second = NewSplitter(&host);
        QPointer<QTreeWidget> tree1 = NewTree(&host);
        QTreeWidget* tree2 = NewTree(&host);
        for (QWidget* w : std::initializer_list<QWidget*>{first, second, tree1, tree2})
            layout->addWidget(w);
        host.resize(600, 500);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));

        sizeManager->RegisterSplitter("pair", first, {});
        sizeManager->RegisterSplitter("pair", second, {});
        sizeManager->RegisterTreeWidget("trees", tree1);
        sizeManager->RegisterTreeWidget("trees", tree2);

        const QList<int> before = first->sizes();
        Drag(first, -80);
        QVERIFY(first->sizes() != before);
        QCOMPARE(second->sizes(), first->sizes());
        QCOMPARE(Panes("pair"), first->sizes());

        tree1->header()->resizeSection(0, 150);
        QCOMPARE(tree2->header()->sectionSize(0), 150);
        QCOMPARE(Columns("trees").value(0), 150);

        // One of each goes; the others keep the record and the next ones
        // of the name take it.
        delete first;
        delete tree1;
        QCOMPARE(T("sizer_splitter")->HasItem("pair")->GetItems("sizer_splitter_widget").size(), size_t(1));
        QCOMPARE(T("sizer_tree")->HasItem("trees")->GetItems("sizer_tree_widget").size(), size_t(1));
        Drag(second, 40);
        QCOMPARE(Panes("pair"), second->sizes());
        tree2->header()->resizeSection(1, 77);
        QCOMPARE(Columns("trees").value(1), 77);

        QSplitter* third = NewSplitter(&host);
        QTreeWidget* tree3 = NewTree(&host);
        layout->addWidget(third);
        layout->addWidget(tree3);
        sizeManager->RegisterSplitter("pair", third, {});
        sizeManager->RegisterTreeWidget("trees", tree3);
        QTRY_COMPARE(third->sizes(), second->sizes());
        QCOMPARE(tree3->header()->sectionSize(0), 150);
        QCOMPARE(tree3->header()->sectionSize(1), 77);
    }

    void splitterOnHiddenPageRecordsNoZeros()
    {
        ResetTestEnvironment();
        new SizeManager(nullptr);
        QTabWidget tabs;
        tabs.addTab(new QLabel("shown"), "shown");
        auto* page2 = new QWidget;
        auto* page3 = new QWidget;
        QSplitter* hidden2 = NewSplitter(page2);
        QSplitter* hidden3 = NewSplitter(page3);
        new QVBoxLayout(page2);
        page2->layout()->addWidget(hidden2);
        new QVBoxLayout(page3);
        page3->layout()->addWidget(hidden3);
        tabs.addTab(page2, "two");
        tabs.addTab(page3, "three");
        tabs.resize(600, 400);
        tabs.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tabs));

        // A stored all-zero list from a splitter that was never laid out
        // counts as no record.
        ItemPtr old = T("sizer_splitter")->GetItem("older");
        for (int i = 0; i < 2; ++i)
        {
            ItemPtr pane = T("sizer_splitter_index")->NewItem();
            pane += old;
            pane += T("sizer_splitter_index_number")->GetItem(i);
            pane += T("sizer_size")->GetItem(0);
        }

        for (const char* name : {"room_splitter", "older"})
        {
            QSplitter* second = NewSplitter(page2);
            page2->layout()->addWidget(second);
            sizeManager->RegisterSplitter(name, second, {});
        }
        sizeManager->RegisterSplitter("room_splitter", hidden2, {});
        QCOMPARE(hidden2->sizes(), QList<int>({0, 0}));
        QVERIFY(Panes("room_splitter").isEmpty());
        QCOMPARE(Panes("older"), QList<int>({0, 0}));

        // Shown, the page is laid out: its real sizes are the record.
        tabs.setCurrentIndex(1);
        QTRY_VERIFY(AllPositive(Panes("room_splitter")));
        QTRY_VERIFY(AllPositive(Panes("older")));

        // The next splitter of the name, registered hidden, gets usable panes.
        sizeManager->RegisterSplitter("room_splitter", hidden3, {});
        tabs.setCurrentIndex(2);
        QTRY_VERIFY(AllPositive(hidden3->sizes()));
    }
};

QTEST_MAIN(GeometryTest)
#include "test_geometry.moc"
