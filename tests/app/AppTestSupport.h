#pragma once
// Support for the application-shell tests: driving modal dialogs that open
// inside MainWindow::Init, preparing state files, the real window logged in
// at the scripted server, and reading the log.

#include "common/TestServer.h"

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

class MainWindow;
class Ui_MainWindow;

// Answers modal dialogs as they appear, in order. Each handler gets the
// active modal widget and must close it (accept or reject). A modal widget
// that arrives when no handler is left is recorded and rejected, so a test
// never hangs on an unexpected dialog.
class ModalDriver
{
public:
    using Handler = std::function<void(QWidget*)>;

    ModalDriver();
    ~ModalDriver();
    ModalDriver(const ModalDriver&) = delete;
    ModalDriver& operator=(const ModalDriver&) = delete;

    void Then(Handler i_handler) { m_handlers << i_handler; }

    int Handled() const { return m_handled; }
    int Pending() const { return m_handlers.size(); }
    // Titles of the modal widgets that no handler was left for.
    const QStringList& Unexpected() const { return m_unexpected; }

private:
    void Poll();

    QTimer m_timer;
    QList<Handler> m_handlers;
    QPointer<QWidget> mp_last;
    int m_handled = 0;
    QStringList m_unexpected;
};

// What a message box showed.
struct ShownBox
{
    QString title;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
};
// A handler that expects a message box, reads it into o_box and presses Ok.
ModalDriver::Handler PressOk(ShownBox* o_box);

// A port nothing listens on now, so the client's peer listeners keep off
// the default ports that other tests may hold.
QString FreePort();

// Deletes what deleteLater has queued, as the event loop would.
void DeleteDeferred();

// Home of the test (ctest gives every test executable its own).
QString HomePath();
QString StatePath();
// Removes the state file and everything kept aside beside it.
void RemoveStateFiles();

// Runs the project's statetool: `statetool set FILE KEY VALUE`. Returns the
// tool's error text, or "" on success.
QString StateToolSet(const QString& i_file, const QString& i_key, const QString& i_value);
// The same for each key and value of the list in turn: the first error, or "".
QString StateToolSetAll(const QString& i_file, const QStringList& i_pairs);
// `statetool dump FILE`: one line per type, item and link; "" on failure.
QStringList StateToolDump(const QString& i_file);
QString StateToolPath();

// The shown text of a log category in the diagnostics view.
QString LogText(const QString& i_category);

// One field of a message the scripted server sends: [type, value].
QJsonArray Field(const char* ip_type, const QJsonValue& i_value);
// Whether the scripted server holds a login of the user now.
bool IsLoggedIn(TestServer& io_server, const QString& i_user);

// Whole file, or an empty array when it cannot be read.
QByteArray ReadAll(const QString& i_path);
bool WriteAll(const QString& i_path, const QByteArray& i_bytes);

// What the tests of the real window start from: the scripted server, and the
// window on a state file that logs bob (password "pw2") in at it. A test
// class derives from it beside QObject and starts the server itself.
class WindowTest
{
protected:
    WindowTest();
    ~WindowTest();

    QString Port() const { return QString::number(m_server.Port()); }
    Ui_MainWindow* Ui() const;

    // Writes bob's login, with the peer listeners on free ports, then the
    // extra keys and values.
    void PrepareStateFile(const QStringList& i_extra = {});
    // Makes, shows and initialises the window.
    void StartWindow();
    void WaitLoggedIn();
    // All three.
    void StartLoggedIn();
    // Ends the window, which saves the state file, and the store; waits
    // until the server has seen the client go.
    void StopWindow();
    // What each test case starts from and leaves behind: no state file but
    // bob's login, an empty store, the window logged in.
    void StartFresh();
    void StopAndClean();

    // The server sends bob a private line from the user, each with an id
    // of its own.
    bool SendPrivateLine(const QString& i_from, const QString& i_text);
    // Clicks the close button of a chat tab; false when it has none.
    bool ClickChatTabClose(int i_index);

    TestServer m_server;
    std::unique_ptr<MainWindow> mp_window;

private:
    int m_messageId = 1;
};
