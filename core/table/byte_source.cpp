#include "byte_source.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace annotrove::table {

namespace {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Paths arrive as UTF-8 on every platform; Windows needs them as wide characters.
std::filesystem::path native_path(std::string_view path) {
    return std::filesystem::path(
        std::u8string_view(reinterpret_cast<const char8_t *>(path.data()), path.size()));
}

FileHandle open_for_reading(const std::filesystem::path &native, int &error) {
    std::FILE *file = nullptr;
    error = 0;
#ifdef _WIN32
    error = _wfopen_s(&file, native.c_str(), L"rb");
#else
    errno = 0;
    file = std::fopen(native.c_str(), "rb");
    if (file == nullptr) {
        error = errno != 0 ? errno : ENOENT;
    }
#endif
    return FileHandle(file);
}

class FileSource final : public ByteSource {
  public:
    FileSource(FileHandle file, std::string_view path, std::uint64_t size, std::size_t block)
        : file_(std::move(file)), path_(path), size_(size), block_(block) {}

    std::size_t read(char *destination, std::size_t capacity) override {
        const std::size_t wanted = std::min(capacity, block_);
        errno = 0;
        const std::size_t count = std::fread(destination, 1, wanted, file_.get());
        if (count < wanted && std::ferror(file_.get()) != 0) {
            error_ = errno != 0 ? errno : EIO;
        }
        return count;
    }

    std::optional<CoreError> failure() const override {
        if (error_ == 0) {
            return std::nullopt;
        }
        return CoreError::csv("cannot read \"" + std::string(path_) +
                              "\": " + std::generic_category().message(error_));
    }

    std::uint64_t size() const override { return size_; }

  private:
    FileHandle file_;
    std::string_view path_;
    std::uint64_t size_;
    std::size_t block_;
    int error_ = 0;
};

class MemorySource final : public ByteSource {
  public:
    MemorySource(std::string_view bytes, std::size_t block)
        : rest_(bytes), size_(bytes.size()), block_(block) {}

    std::size_t read(char *destination, std::size_t capacity) override {
        const std::size_t count = std::min({capacity, block_, rest_.size()});
        std::memcpy(destination, rest_.data(), count);
        rest_.remove_prefix(count);
        return count;
    }

    std::optional<CoreError> failure() const override { return std::nullopt; }

    std::uint64_t size() const override { return size_; }

  private:
    std::string_view rest_;
    std::uint64_t size_;
    std::size_t block_;
};

} // namespace

Result<std::unique_ptr<ByteSource>> open_file_source(std::string_view path,
                                                     std::size_t block_size) {
    int error = path.find('\0') != std::string_view::npos ? EINVAL : 0;
    const std::filesystem::path native = native_path(path);
    FileHandle file = error != 0 ? nullptr : open_for_reading(native, error);
    if (file == nullptr) {
        return std::unexpected(CoreError::csv("cannot open \"" + std::string(path) +
                                              "\": " + std::generic_category().message(error)));
    }
    // The reader asks for large blocks itself; stdio's own buffer would only add a copy.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::error_code size_error;
    const std::uintmax_t size = std::filesystem::file_size(native, size_error);
    return std::make_unique<FileSource>(std::move(file), path,
                                        size_error ? 0 : static_cast<std::uint64_t>(size),
                                        std::max<std::size_t>(block_size, 1));
}

std::unique_ptr<ByteSource> memory_source(std::string_view bytes, std::size_t block_size) {
    return std::make_unique<MemorySource>(bytes, std::max<std::size_t>(block_size, 1));
}

} // namespace annotrove::table
