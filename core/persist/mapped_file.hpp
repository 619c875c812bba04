#pragma once
// Files of saved indexes: written whole under a temporary name and renamed into place, so that a
// failed save never leaves a half-written file under the final name; read back by mapping them,
// so that opening costs no copy and pages come in as queries touch them.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/errors.hpp"

namespace quarnel::core::persist {

// An operating-system failure on a path; reaches Python as OSError with errno and file name.
class FileError : public std::runtime_error {
 public:
  FileError(int error_number, std::string path, const std::string& what)
      : std::runtime_error(what), errno_(error_number), path_(std::move(path)) {}
  [[nodiscard]] int error_number() const noexcept { return errno_; }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  int errno_;
  std::string path_;
};

// A saved file that is not what it should be (truncated, damaged, foreign or for other data).
class FormatError : public UsageError {
 public:
  using UsageError::UsageError;
};

// A read-only private mapping of a whole file. Page-aligned, so sections at 64-byte offsets are
// cache-line aligned in memory.
//
// A mapping does not own the file: if another program truncates it while it is mapped, reading
// a page past the new end raises SIGBUS in this process. Nothing here can prevent that (a file
// lock would be only advisory); what the loaders can do is refuse a file whose size disagrees
// with its header before mapping it, so that the mapping starts out complete.
class MappedFile {
 public:
  // Called with the file's first bytes (at most `head` of them, fewer for a shorter file) and
  // its size, before anything is mapped; throws to refuse the file.
  using SizeCheck = std::function<void(std::span<const std::uint8_t> head, std::uint64_t size)>;

  explicit MappedFile(const std::string& path, std::size_t head = 0, const SizeCheck& check = {});
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Writes the parts one after another to `path`.
void write_file(const std::string& path, const std::vector<std::span<const std::uint8_t>>& parts);

// Little-endian fields of a header under construction or being read.
class HeaderWriter {
 public:
  explicit HeaderWriter(std::size_t size) : bytes_(size, 0) {}
  void put_u64(std::size_t offset, std::uint64_t v);
  void put_u32(std::size_t offset, std::uint32_t v);
  void put_bytes(std::size_t offset, std::span<const std::uint8_t> b);
  [[nodiscard]] std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

[[nodiscard]] std::uint64_t get_u64(std::span<const std::uint8_t> b, std::size_t offset);
[[nodiscard]] std::uint32_t get_u32(std::span<const std::uint8_t> b, std::size_t offset);

template <class T>
[[nodiscard]] std::span<const std::uint8_t> as_byte_span(std::span<const T> values) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

// The index formats store native little-endian words and are mapped as they are.
void require_little_endian_host();

}  // namespace quarnel::core::persist
