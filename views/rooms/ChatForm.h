#pragma once
// The private conversation with one user. The user's `user` item is tied to
// a `user_chat_widget` item holding this view's address while it lives; the
// main window finds the view through it.

#include <QWidget>

#include <memory>
#include <string>

class ChatHistory;
class QShowEvent;
class Ui_ChatForm;

class ChatForm : public QWidget
{
    Q_OBJECT

public:
    ChatForm(std::string i_user, QWidget* ip_parent = nullptr);
    ~ChatForm() override;

    // Shows a message of the other user and posts an event for the view
    // while it is not visible.
    void AddChat(std::string i_text);
    // Gives the keyboard focus to the entry line.
    void Focus();

    const std::string& User() const { return m_user; }
    Ui_ChatForm* Form() const { return mp_ui; }
    const ChatHistory& History() const { return *mp_history; }

public slots:
    // Sends the typed message and shows it.
    void OnEnter();

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    Ui_ChatForm* mp_ui;
    // The other user's name as the server gives it.
    std::string m_user;
    std::unique_ptr<ChatHistory> mp_history;
};
