#include "FileAttributeLinker.h"

FileAttributeLinker::FileAttributeLinker()
    : mp_bitrate(T("bitrate")), mp_length(T("length_seconds")), mp_mode(T("bitrate_mode"))
{
}

void FileAttributeLinker::Link(Item* ip_item, const AttributeMap& i_attributes) const
{
    for (const AttributeMap::Attribute& attribute : i_attributes.m_attributes)
    {
        switch (attribute.first)
        {
        case ATTRIBUTE_BITRATE:
            ip_item->Connect(mp_bitrate->GetItem(Value(int(attribute.second))));
            break;
        case ATTRIBUTE_LENGTH:
            ip_item->Connect(mp_length->GetItem(Value(int(attribute.second))));
            break;
        case ATTRIBUTE_VBR:
            ip_item->Connect(mp_mode->GetItem(attribute.second != 0 ? "vbr" : "cbr"));
            break;
        default:
            break;
        }
    }
}
