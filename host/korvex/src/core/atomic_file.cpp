#include "korvex/atomic_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "korvex/errors.hpp"

namespace korvex {

void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           std::string_view what) {
    const std::filesystem::path temp =
        path.parent_path() / fmt::format(".{}.tmp-{}", path.filename().string(), ::getpid());
    auto fail = [&](int error) {
        ::unlink(temp.c_str());
        return RuntimeError(
            fmt::format("cannot write {} {}: {}", what, path.string(), std::strerror(error)));
    };
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw fail(errno);
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            throw fail(error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        throw fail(error);
    }
    if (::close(fd) != 0) throw fail(errno);
    if (::rename(temp.c_str(), path.c_str()) != 0) throw fail(errno);
}

}  // namespace korvex
