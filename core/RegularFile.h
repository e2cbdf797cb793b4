#pragma once
// Opening a file for reading only when it is a regular file, without ever
// waiting in open(): a FIFO or a device at the path would block the calling
// thread (and the main loop with it) until a writer or the device answers.
// The type is checked first, then the file is opened with O_NONBLOCK, so
// one swapped in between opens at once, and checked again on the opened
// descriptor.

#include <QFile>

#include <string>

enum class RegularFileStatus {
    Opened,       // a regular file, open for reading
    Missing,      // nothing at the path (ENOENT, ENOTDIR)
    NotRegular,   // a folder, FIFO, device or socket
    Unreadable,   // it exists but cannot be opened or examined; the error says why
};

// On Opened, o_fd is a blocking, close-on-exec descriptor that the caller
// closes; otherwise it is -1. o_error is the errno of a failure, else 0.
// Symbolic links are followed.
RegularFileStatus OpenRegularFileForReading(const std::string& i_path, int& o_fd, int& o_error);

// The same into a QFile that is not open, with the mode given (read-only,
// optionally unbuffered); the file owns the descriptor and closes it. Opened
// from a descriptor, the QFile has no fileName(): keep the path beside it.
RegularFileStatus OpenRegularFileForReading(const QString& i_path, QFile& o_file, QIODevice::OpenMode i_mode,
                                            int& o_error);
