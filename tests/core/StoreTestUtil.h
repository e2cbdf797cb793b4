#pragma once
// Small helpers for the store tests: readable item names and an owner that
// records what its handlers see.

#include "core/Data.h"

#include <QStringList>

#include <functional>
#include <string>

// "type:value", or "type#serial" for a valueless item.
inline QString Name(Item* ip_item)
{
    if (!ip_item)
        return QStringLiteral("null");
    const std::string& type = ip_item->GetType()->GetName();
    if (ip_item->GetType()->IsNull())
        return QString::fromLatin1((type + "#" + std::to_string(ip_item->Serial())).c_str());
    return QString::fromLatin1((type + ":" + ip_item->GetValue()).c_str());
}

inline QStringList Names(const ItemSet& i_items)
{
    QStringList r;
    for (Item* p : i_items)
        r << Name(p);
    return r;
}

template <class C>
inline QStringList NamesOf(const C& i_items)
{
    QStringList r;
    for (Item* p : i_items)
        r << Name(p);
    return r;
}

// An owner of store handlers that writes one line per call into m_lines.
class Recorder : public DataHandler
{
public:
    QStringList m_lines;

    EventHandlerBase<Item*>* OnItem(Event<Item*>& io_event, const QString& i_tag,
                                    std::function<void(Item*)> i_also = {})
    {
        auto* h = new FunctionHandler<Item*>([this, i_tag, i_also](Item* ip_item) {
            m_lines << i_tag + " " + Name(ip_item);
            if (i_also)
                i_also(ip_item);
        });
        Track(h);
        io_event.Add(h);
        return h;
    }

    EventHandlerBase<ConnectionInfo&>* OnConnection(Event<ConnectionInfo&>& io_event, const QString& i_tag,
                                                    std::function<void(ConnectionInfo&)> i_also = {})
    {
        auto* h = new FunctionHandler<ConnectionInfo&>([this, i_tag, i_also](ConnectionInfo& i_info) {
            m_lines << i_tag + " " + Name(i_info.from) + " " + Name(i_info.to);
            if (i_also)
                i_also(i_info);
        });
        Track(h);
        io_event.Add(h);
        return h;
    }

    EventHandlerBase<ConnectionInfo&>* OnPair(Type* ip_a, Type* ip_b, const QString& i_tag,
                                              std::function<void(ConnectionInfo&)> i_also = {})
    {
        auto* h = new FunctionHandler<ConnectionInfo&>([this, i_tag, i_also](ConnectionInfo& i_info) {
            m_lines << i_tag + " " + Name(i_info.from) + " " + Name(i_info.to);
            if (i_also)
                i_also(i_info);
        });
        Track(h);
        d->AddConnectionEventHandler(ip_a, ip_b, h);
        return h;
    }

    EventHandlerBase<Item*>* OnPath(PathNode* ip_root, const QString& i_tag, std::function<void(Item*)> i_also = {})
    {
        auto* h = new FunctionHandler<Item*>([this, i_tag, i_also](Item* ip_item) {
            m_lines << i_tag + " " + Name(ip_item);
            if (i_also)
                i_also(ip_item);
        });
        Track(h);
        d->AddPathEventHandler(ip_root, h);
        return h;
    }

    QStringList Take()
    {
        QStringList r;
        r.swap(m_lines);
        return r;
    }
};
