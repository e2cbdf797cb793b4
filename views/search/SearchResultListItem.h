#pragma once
// A row of a result tree: a user, a folder of that user, or a file in it.
// Rows order themselves by keys read once when the row is filled, so a sort
// of many thousand rows never parses cell texts.

#include "ListedTreeItem.h"

#include <QString>

#include <string>

class SearchResultListItem : public ListedTreeItem
{
public:
    // A row outside any tree, to be filled before it is added: adding whole
    // subtrees at once keeps a reply's rows one insertion each.
    SearchResultListItem();
    explicit SearchResultListItem(QTreeWidget* ip_tree);
    explicit SearchResultListItem(QTreeWidgetItem* ip_parent);
    ~SearchResultListItem() override;

    // A user row: the name in column 0 with its bytes kept (NameCells.h);
    // "Free" shows "Y" for a free slot, else the queue as the reply gave it
    // (empty when absent); "K/s" the speed (bytes per second) in KiB/s with
    // one decimal, empty for 0.
    void SetUser(const std::string& i_name, bool i_available, const std::string& i_queue,
                 unsigned long long i_speed);
    // A file row's name in "File".
    void SetFileName(const QString& i_name);
    // The "File" text, without a copy through the item's data.
    const QString& FileName() const { return m_fileName; }
    // A file row's "Size": the bytes with thousands separated, empty for
    // none. Made when asked rather than kept: a text block of its own for
    // each of a hundred thousand rows costs memory and, on closing, frees.
    void SetFileSize(long long i_bytes);
    QVariant data(int i_column, int i_role) const override;

    // Shows or hides the row, touching the view only when that changes.
    // Every show and hide of a result row goes through here, so the state
    // is known without asking the view, which looks each row up in a set
    // of persistent indexes: a re-filter asks that of every row.
    void SetShown(bool i_shown);
    bool IsShown() const { return !m_hidden; }

    // By the tree's sort column: 1 orders free slots above queues, then the
    // shorter queue, then the faster user; 2 the faster user; ties and every
    // other column by file name, descending order giving A to Z.
    bool operator<(const QTreeWidgetItem& i_other) const override;

private:
    bool m_available = false;
    unsigned long long m_queue = 0;
    unsigned long long m_speed = 0;
    // Shares its text with the "File" cell.
    QString m_fileName;
    long long m_fileSize = 0;
    bool m_hidden = false;
};
