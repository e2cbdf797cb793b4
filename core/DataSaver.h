#pragma once
// The state file: which store types are remembered between runs, writing
// them atomically, and reading them back into the store through the normal
// store calls (so every item, connection and path handler sees the load).
//
// Start-up, in this order:
//   1. every subsystem creates its types, relations and defaults and
//      registers what is saved and its DataLoadedEventHandler;
//   2. try { dataSaver->Load(path); }
//      catch (const DataLoadFailure& e) {
//          // the store is exactly as before the call; the file was moved
//          // aside; log and tell the user, then go on as on a first start:
//          dataSaver->NotifyDataLoaded();
//      }
//      catch (const DataReadFailure& e) {
//          // the file is as it was: tell the user and end without saving
//      }
// Load notifies the handlers itself after a successful read and when there
// is no file; after a failure the caller does it, once it has told the user.

#include "Data.h"

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace statefile {
struct Image;
}

// An existing state file that cannot be used; the message says why and
// where the file was kept.
struct DataLoadFailure : std::runtime_error {
    explicit DataLoadFailure(const std::string& i_what) : std::runtime_error(i_what) {}
};

// An existing state file that could not be read (permission, I/O error).
// It is not damaged: it is left where it is, untouched, and the store is as
// it was. Not a DataLoadFailure, so no caller can take it for one and start
// from scratch over the user's state.
struct DataReadFailure : std::runtime_error {
    explicit DataReadFailure(const std::string& i_what) : std::runtime_error(i_what) {}
};

// The state could not be written; the previous file is untouched.
struct DataSaveFailure : std::runtime_error {
    explicit DataSaveFailure(const std::string& i_what) : std::runtime_error(i_what) {}
};

// The registered DataLoadedEventHandlers in the order of registration, each
// once. Objects may register themselves inline with insert().
class DataLoadedHandlerList {
public:
    using const_iterator = std::vector<DataLoadedEventHandler*>::const_iterator;

    bool insert(DataLoadedEventHandler* ip_handler);   // false when null or present
    bool erase(DataLoadedEventHandler* ip_handler);    // false when absent
    size_t count(DataLoadedEventHandler* ip_handler) const;
    size_t size() const { return m_handlers.size(); }
    bool empty() const { return m_handlers.empty(); }
    const_iterator begin() const { return m_handlers.begin(); }
    const_iterator end() const { return m_handlers.end(); }

private:
    std::vector<DataLoadedEventHandler*> m_handlers;
};

class DataSaver {
public:
    // Sets the global dataSaver; the destructor clears it.
    DataSaver();
    ~DataSaver();
    DataSaver(const DataSaver&) = delete;
    DataSaver& operator=(const DataSaver&) = delete;

    // Every item of the type is saved, with its links to other saved items.
    // The type may be created later; it is looked up at each save.
    void AddSavedType(const std::string& i_type);
    // Items of the type are saved only while linked to at least one item of
    // one of its registered other types. A type saved in full stays in full.
    void AddSavedByConnectionType(const std::string& i_type, const std::string& i_other);

    void AddDataLoadedEventHandler(DataLoadedEventHandler* ip_handler);
    void RemoveDataLoadedEventHandler(DataLoadedEventHandler* ip_handler);
    // Calls DataLoaded() on every registered handler, in registration order.
    // A handler removed by an earlier one is skipped; one added meanwhile
    // waits for the next notification. Load calls it after a successful read
    // and when the file is missing; start-up calls it after a DataLoadFailure.
    void NotifyDataLoaded();

    // Reads the state file into the store. A missing file is a first start:
    // nothing is read and the handlers are notified. A file that exists but
    // cannot be read throws DataReadFailure and is left as it is. A file that
    // was read is checked in full first; when it cannot be used (a folder,
    // FIFO or device counts as such) it is renamed aside (path + ".bad",
    // ".bad.1", ...; see statefile::MoveAside for a link), the store is left exactly as it was, no handler is
    // notified and DataLoadFailure is thrown. Otherwise the items
    // are applied through the normal store calls (their handlers run) and the
    // handlers are notified. An exception thrown by a store handler during
    // the apply passes through unchanged.
    void Load(const char* ip_path);

    // Writes the saved types to a temporary file beside the path, mode 0600,
    // and renames it over the path; when the path is a symbolic link to a
    // regular file, beside and over that file, so the link stays. A link to
    // anything else is renamed aside (path + ".bad", ...) and the state saved
    // at the path: the link's new name is returned, else "". Throws
    // DataSaveFailure, leaving the previous file untouched and no temporary
    // file behind.
    std::string Save(const char* ip_path);

    // The registered handlers; objects may insert themselves directly.
    DataLoadedHandlerList m_dataLoadedEventHandlers;

private:
    void BuildImage(statefile::Image& o_image) const;

    std::vector<std::string> m_savedTypes;                          // saved in full
    std::map<std::string, std::vector<std::string>> m_savedByConnection;   // type -> other types
};

extern DataSaver* dataSaver;

// Registrations on the global dataSaver; nothing happens while there is none.
void SaveType(const char* ip_type);
void SaveByConnection(const char* ip_type, const char* ip_other);

namespace statefile {
// Applies a checked image to the global store (see DataSaver::Load): types
// resolved by name and null flag, valued items reused by value, a lone null
// item merged with a lone existing one, links replayed in file order where
// the types are related.
void Apply(const Image& i_image);
}  // namespace statefile
