#pragma once
// Cells that show a user, room or group name keep the name's bytes beside
// its text. The text need not lead back to the bytes (a name that is not
// UTF-8 shows one byte per character), so whatever finds the name again
// from a row reads the bytes, never the text.

#include "TextConversion.h"

#include <QByteArray>
#include <QListWidgetItem>
#include <QTreeWidgetItem>

#include <string>

// Clear of the roles the views keep under Qt::UserRole.
constexpr int kNameBytesRole = Qt::UserRole + 64;

inline void SetNameCell(QTreeWidgetItem* ip_row, int i_column, const std::string& i_name)
{
    ip_row->setText(i_column, FromName(i_name));
    ip_row->setData(i_column, kNameBytesRole, QByteArray::fromStdString(i_name));
}

inline void SetNameCell(QListWidgetItem* ip_row, const std::string& i_name)
{
    ip_row->setText(FromName(i_name));
    ip_row->setData(kNameBytesRole, QByteArray::fromStdString(i_name));
}

// The name's bytes; "" for a cell that holds none.
inline std::string NameOfCell(const QTreeWidgetItem* ip_row, int i_column)
{
    return ip_row->data(i_column, kNameBytesRole).toByteArray().toStdString();
}

inline std::string NameOfCell(const QListWidgetItem* ip_row)
{
    return ip_row->data(kNameBytesRole).toByteArray().toStdString();
}
