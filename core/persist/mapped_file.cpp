#include "persist/mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

namespace quarnel::core::persist {
namespace {

[[noreturn]] void fail(const std::string& path, const std::string& what) {
  const int e = errno;
  throw FileError(e, path, what + " " + path + ": " + std::strerror(e));
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  [[nodiscard]] int get() const noexcept { return fd_; }
  // Closes now, reporting the failure (a full disk can surface only here).
  [[nodiscard]] int close_now() noexcept { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

void write_all(int fd, std::span<const std::uint8_t> part, const std::string& path) {
  const std::uint8_t* p = part.data();
  std::size_t left = part.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, p, std::min<std::size_t>(left, std::size_t{1} << 30));
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(path, "cannot write");
    }
    p += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

MappedFile::MappedFile(const std::string& path, std::size_t head, const SizeCheck& check) {
  const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail(path, "cannot open");
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) fail(path, "cannot stat");
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;  // a pipe or device has no fixed size to check, nor pages to map
    fail(path, "cannot map");
  }
  size_ = static_cast<std::size_t>(st.st_size);
  if (check) {
    std::vector<std::uint8_t> first(std::min<std::uint64_t>(head, size_));
    std::size_t got = 0;
    while (got < first.size()) {
      const ssize_t r =
          ::pread(fd.get(), first.data() + got, first.size() - got, static_cast<off_t>(got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) fail(path, "cannot read");
      if (r == 0) break;  // shrunk since fstat: the check sees what is there
      got += static_cast<std::size_t>(r);
    }
    first.resize(got);
    check(first, size_);
  }
  if (size_ == 0) return;
  // Populated up front: the checksum reads every page at once, and one call maps them faster
  // than a fault per page.
  void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd.get(), 0);
  if (p == MAP_FAILED) fail(path, "cannot map");
  data_ = static_cast<const std::uint8_t*>(p);
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

void write_file(const std::string& path, const std::vector<std::span<const std::uint8_t>>& parts) {
  const std::string temporary = path + ".tmp";
  Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) fail(temporary, "cannot create");
  try {
    for (const auto& part : parts) write_all(fd.get(), part, temporary);
    if (fd.close_now() != 0) fail(temporary, "cannot write");
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail(path, "cannot rename onto");
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

void HeaderWriter::put_u64(std::size_t offset, std::uint64_t v) {
  for (int k = 0; k < 8; ++k) bytes_[offset + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

void HeaderWriter::put_u32(std::size_t offset, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) bytes_[offset + k] = static_cast<std::uint8_t>(v >> (8 * k));
}

void HeaderWriter::put_bytes(std::size_t offset, std::span<const std::uint8_t> b) {
  std::memcpy(bytes_.data() + offset, b.data(), b.size());
}

std::uint64_t get_u64(std::span<const std::uint8_t> b, std::size_t offset) {
  std::uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v |= static_cast<std::uint64_t>(b[offset + k]) << (8 * k);
  return v;
}

std::uint32_t get_u32(std::span<const std::uint8_t> b, std::size_t offset) {
  std::uint32_t v = 0;
  for (int k = 0; k < 4; ++k) v |= static_cast<std::uint32_t>(b[offset + k]) << (8 * k);
  return v;
}

void require_little_endian_host() {
  if constexpr (std::endian::native != std::endian::little) {
    throw FormatError("saved indexes can only be used on little-endian machines");
  }
}

}  // namespace quarnel::core::persist
