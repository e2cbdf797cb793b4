#include "RegularFile.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

RegularFileStatus OpenRegularFileForReading(const std::string& i_path, int& o_fd, int& o_error) {
    o_fd = -1;
    o_error = 0;
    auto failed = [&o_error](int i_errno) {
        o_error = i_errno;
        return i_errno == ENOENT || i_errno == ENOTDIR ? RegularFileStatus::Missing : RegularFileStatus::Unreadable;
    };
    struct stat st;
    if (::stat(i_path.c_str(), &st) != 0) return failed(errno);
    if (!S_ISREG(st.st_mode)) return RegularFileStatus::NotRegular;
    int fd;
    do {
        fd = ::open(i_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    // A socket swapped in refuses to be opened at all.
    if (fd < 0) return errno == ENXIO ? RegularFileStatus::NotRegular : failed(errno);
    if (::fstat(fd, &st) != 0) {
        o_error = errno;
        ::close(fd);
        return RegularFileStatus::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return RegularFileStatus::NotRegular;
    }
    // Reads from a regular file block either way; callers expect a plain
    // descriptor.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    o_fd = fd;
    return RegularFileStatus::Opened;
}

RegularFileStatus OpenRegularFileForReading(const QString& i_path, QFile& o_file, QIODevice::OpenMode i_mode,
                                            int& o_error) {
    const QByteArray path = QFile::encodeName(i_path);
    int fd = -1;
    const RegularFileStatus status =
        OpenRegularFileForReading(std::string(path.constData(), size_t(path.size())), fd, o_error);
    if (status != RegularFileStatus::Opened) return status;
    // It takes the descriptor only when it opens.
    if (!o_file.open(fd, i_mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        o_error = EBADF;
        return RegularFileStatus::Unreadable;
    }
    return RegularFileStatus::Opened;
}
