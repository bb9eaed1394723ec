#include "korvex/atomic_file.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <streambuf>
#include <string>
#include <vector>

#include "korvex/errors.hpp"

namespace korvex {

namespace {

// Writes to a file descriptor through a buffer, and keeps the first error.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int fd) : fd_(fd), buffer_(1 << 20) { reset(); }
    int error() const { return error_; }
    // Writes out what is buffered; false once a write failed.
    bool drain() {
        const char* p = pbase();
        std::size_t left = static_cast<std::size_t>(pptr() - pbase());
        while (left > 0 && error_ == 0) {
            const ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = n < 0 ? errno : ENOSPC;
                break;
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        reset();
        return error_ == 0;
    }

protected:
    int_type overflow(int_type ch) override {
        if (!drain()) return traits_type::eof();
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        *pptr() = traits_type::to_char_type(ch);
        pbump(1);
        return ch;
    }
    int sync() override { return drain() ? 0 : -1; }

private:
    void reset() { setp(buffer_.data(), buffer_.data() + buffer_.size()); }
    int fd_;
    int error_ = 0;
    std::vector<char> buffer_;
};

}  // namespace

void write_file_atomically(const std::filesystem::path& path,
                           const std::function<void(std::ostream&)>& write, std::string_view what) {
    const std::filesystem::path temp =
        path.parent_path() / fmt::format(".{}.tmp-{}", path.filename().string(), ::getpid());
    auto fail = [&](int error) {
        ::unlink(temp.c_str());
        return RuntimeError(
            fmt::format("cannot write {} {}: {}", what, path.string(), std::strerror(error)));
    };
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw fail(errno);
    DescriptorBuffer buffer(fd);
    try {
        std::ostream out(&buffer);
        write(out);
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (!buffer.drain() || ::fsync(fd) != 0) {
        const int error = buffer.error() ? buffer.error() : errno;
        ::close(fd);
        throw fail(error);
    }
    if (::close(fd) != 0) throw fail(errno);
    if (::rename(temp.c_str(), path.c_str()) != 0) throw fail(errno);
}

void write_file_atomically(const std::filesystem::path& path, std::string_view content,
                           std::string_view what) {
    write_file_atomically(
        path,
        [content](std::ostream& out) {
            out.write(content.data(), static_cast<std::streamsize>(content.size()));
        },
        what);
}

}  // namespace korvex
