#include "atomic_file.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "tool.h"

namespace {

// Writes content to fd and closes it; false, with errno of the first failure, when either failed.
bool write_and_close(int fd, const std::string &content) {
    bool written = write_all(fd, content.data(), content.size());
    int error = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    errno = error;
    return written;
}

} // namespace

bool replace_file(const std::string &path, const std::string &content) {
    const std::filesystem::path target(path);
    const std::string temporary =
        (target.parent_path() / ("." + target.filename().string() + ".tmp")).string();
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    if (write_and_close(fd, content) && ::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    return false;
}

bool append_line(const std::string &path, const std::string &text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd >= 0 && write_and_close(fd, text);
}
