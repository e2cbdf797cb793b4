// statetool: reads and edits the client's state file for tests.
//
//   statetool dump FILE              types, items and links as text
//   statetool set FILE KEY VALUE     the `global` setting KEY := VALUE
//   statetool unset FILE KEY         removes the setting KEY
//
// set and unset keep everything else in the file as it is and create the
// file when it is missing. A setting is a `global` item linked to one
// `global_value` item; a value item that no key uses any more is dropped,
// as the client would not save it. Exit status: 0 done, 1 failure, 2 usage.

#include "core/DataSaver.h"
#include "core/StateFile.h"

#include <cstdio>
#include <deque>
#include <iostream>
#include <string>
#include <vector>

namespace {

using statefile::Image;

// Bytes as a quoted C-style string: printable ASCII as is, the rest escaped.
std::string Quote(std::string_view i_s) {
    std::string out = "\"";
    for (unsigned char c : i_s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::string Describe(const Image& i_im, uint32_t i_item) {
    const auto& it = i_im.items[i_item];
    const auto& t = i_im.types[it.type];
    return std::string(t.name) + (t.null ? std::string(" (flag)") : " " + Quote(it.value));
}

void Dump(const Image& i_im) {
    std::cout << "types " << i_im.types.size() << "\n";
    for (size_t k = 0; k < i_im.types.size(); ++k)
        std::cout << "  type " << k << " " << i_im.types[k].name << (i_im.types[k].null ? " null" : " valued") << "\n";
    std::cout << "items " << i_im.items.size() << "\n";
    for (uint32_t k = 0; k < i_im.items.size(); ++k) std::cout << "  item " << k << " " << Describe(i_im, k) << "\n";
    std::cout << "links " << i_im.links.size() << "\n";
    for (auto& l : i_im.links)
        std::cout << "  link " << l.first << " " << l.second << " " << Describe(i_im, l.first) << " -- "
                  << Describe(i_im, l.second) << "\n";
}

// The index of the valued type of that name, added when missing; -1 when
// the file has it as a null type.
long ValuedType(Image& io_im, std::string_view i_name) {
    for (size_t k = 0; k < io_im.types.size(); ++k)
        if (io_im.types[k].name == i_name) return io_im.types[k].null ? -1 : long(k);
    io_im.types.push_back({i_name, false});
    return long(io_im.types.size() - 1);
}

long FindItem(const Image& i_im, uint32_t i_type, std::string_view i_value) {
    for (size_t k = 0; k < i_im.items.size(); ++k)
        if (i_im.items[k].type == i_type && i_im.items[k].value == i_value) return long(k);
    return -1;
}

bool Linked(const Image& i_im, uint32_t i_item) {
    for (auto& l : i_im.links)
        if (l.first == i_item || l.second == i_item) return true;
    return false;
}

// Drops the links between the key item and every value item.
void DropValueLinks(Image& io_im, uint32_t i_key, uint32_t i_valueType) {
    std::vector<std::pair<uint32_t, uint32_t>> kept;
    for (auto& l : io_im.links) {
        const uint32_t other = l.first == i_key ? l.second : (l.second == i_key ? l.first : UINT32_MAX);
        if (other != UINT32_MAX && io_im.items[other].type == i_valueType) continue;
        kept.push_back(l);
    }
    io_im.links.swap(kept);
}

// Removes the marked items, renumbering the rest and their links.
void RemoveItems(Image& io_im, const std::vector<bool>& i_drop) {
    std::vector<uint32_t> renumber(io_im.items.size(), UINT32_MAX);
    std::vector<Image::ItemEntry> items;
    for (size_t k = 0; k < io_im.items.size(); ++k)
        if (!i_drop[k]) {
            renumber[k] = uint32_t(items.size());
            items.push_back(io_im.items[k]);
        }
    std::vector<std::pair<uint32_t, uint32_t>> links;
    for (auto& l : io_im.links)
        if (renumber[l.first] != UINT32_MAX && renumber[l.second] != UINT32_MAX)
            links.emplace_back(renumber[l.first], renumber[l.second]);
    io_im.items.swap(items);
    io_im.links.swap(links);
}

// Value items that no key uses any more are not kept, as a save would not.
void DropUnusedValues(Image& io_im, uint32_t i_valueType) {
    // One pass over the links: a file of many settings stays quick to edit.
    std::vector<bool> linked(io_im.items.size(), false);
    for (auto& l : io_im.links) linked[l.first] = linked[l.second] = true;
    std::vector<bool> drop(io_im.items.size(), false);
    bool any = false;
    for (uint32_t k = 0; k < io_im.items.size(); ++k)
        if (io_im.items[k].type == i_valueType && !linked[k]) drop[k] = any = true;
    if (any) RemoveItems(io_im, drop);
}

int Fail(const std::string& i_why) {
    std::cerr << "statetool: " << i_why << "\n";
    return 1;
}

int Usage() {
    std::cerr << "usage: statetool dump FILE\n"
                 "       statetool set FILE KEY VALUE\n"
                 "       statetool unset FILE KEY\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    const std::string command = argv[1];
    const std::string path = argv[2];
    if (!((command == "dump" && argc == 3) || (command == "set" && argc == 5) || (command == "unset" && argc == 4)))
        return Usage();

    try {
        std::string bytes;
        Image im;
        const bool missing = statefile::ReadFile(path, bytes) == statefile::ReadStatus::Missing;
        if (!missing) im = statefile::Parse(bytes);
        if (command == "dump") {
            if (missing) return Fail(path + " does not exist");
            Dump(im);
            return 0;
        }

        const std::string key = argv[3];
        const std::string value = command == "set" ? argv[4] : "";
        const long keyType = ValuedType(im, "global");
        const long valueType = ValuedType(im, "global_value");
        if (keyType < 0 || valueType < 0) return Fail(path + " holds `global` or `global_value` as a null type");

        long keyItem = FindItem(im, uint32_t(keyType), key);
        if (command == "set") {
            if (keyItem < 0) {
                im.items.push_back({uint32_t(keyType), key});
                keyItem = long(im.items.size() - 1);
            }
            long valueItem = FindItem(im, uint32_t(valueType), value);
            if (valueItem < 0) {
                im.items.push_back({uint32_t(valueType), value});
                valueItem = long(im.items.size() - 1);
            }
            // A key holds one value: the new link replaces the old ones.
            DropValueLinks(im, uint32_t(keyItem), uint32_t(valueType));
            im.links.emplace_back(uint32_t(std::min(keyItem, valueItem)), uint32_t(std::max(keyItem, valueItem)));
        } else if (keyItem >= 0) {
            DropValueLinks(im, uint32_t(keyItem), uint32_t(valueType));
            if (!Linked(im, uint32_t(keyItem))) {
                std::vector<bool> drop(im.items.size(), false);
                drop[size_t(keyItem)] = true;
                RemoveItems(im, drop);
            }
        }
        DropUnusedValues(im, uint32_t(valueType));
        statefile::WriteAtomically(path, statefile::Encode(im));
        return 0;
    } catch (const std::exception& e) {
        return Fail(path + ": " + e.what());
    }
}
