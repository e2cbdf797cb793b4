#pragma once
// Turns the attribute pairs of a file record from another user (a search
// result, a file of a share list) into links to the store's value items.

#include "Data.h"
#include "FileInfo.h"

class FileAttributeLinker
{
public:
    // Looks the value types up once: `bitrate`, `length_seconds`,
    // `bitrate_mode`.
    FileAttributeLinker();

    // Links the item to the value item of each pair in order: the bitrate
    // and the length as decimal text, the VBR flag as "vbr" (not 0) or
    // "cbr". Other codes are ignored.
    void Link(Item* ip_item, const AttributeMap& i_attributes) const;

private:
    Type* mp_bitrate;
    Type* mp_length;
    Type* mp_mode;
};
