#include "text_file.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#endif

namespace annotrove::policy {

namespace fs = std::filesystem;

namespace {

std::string describe(std::error_code code) {
    return code.message() + " (os error " + std::to_string(code.value()) + ")";
}

// Captures errno right after the failing call, before anything else can change it.
std::string describe_errno(int error_number) {
    return describe(std::error_code(error_number, std::generic_category()));
}

FileError open_error(std::string description) {
    return {FileError::Stage::Open, std::move(description)};
}

FileError write_error(std::string description) {
    return {FileError::Stage::Write, std::move(description)};
}

// Paths arrive as UTF-8. Building the path from char8_t keeps them intact on Windows, where a
// narrow path would be taken in the ANSI code page.
FileResult<fs::path> to_path(std::string_view path) {
    // The C library would stop at a NUL byte and open a shorter, different path.
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(open_error(describe_errno(EINVAL)));
    }
    try {
        const std::u8string utf8(path.begin(), path.end());
        return fs::path(utf8);
    } catch (const std::exception &error) {
        return std::unexpected(open_error(error.what()));
    }
}

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// std::fopen takes a narrow name, which on Windows is not UTF-8; the wide call takes any name.
// Returns null with errno set on failure.
std::FILE *open_file(const fs::path &path, const char *mode) {
#ifdef _WIN32
    std::wstring wide_mode;
    for (const char *c = mode; *c != '\0'; ++c) {
        wide_mode += static_cast<wchar_t>(*c);
    }
    std::FILE *file = nullptr;
    if (const errno_t error = _wfopen_s(&file, path.c_str(), wide_mode.c_str()); error != 0) {
        errno = error;
        return nullptr;
    }
    return file;
#else
    return std::fopen(path.c_str(), mode);
#endif
}

// Creates a file that must not exist yet, for writing; null with errno set on failure. The C
// library's "x" mode would do, but msvcrt, which MinGW builds link, ignores it and truncates an
// existing file, so Windows asks the operating system for exclusive creation directly.
std::FILE *create_new_file(const fs::path &path) {
#ifdef _WIN32
    int descriptor = -1;
    if (const errno_t error =
            _wsopen_s(&descriptor, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                      _SH_DENYNO, _S_IREAD | _S_IWRITE);
        error != 0) {
        errno = error;
        return nullptr;
    }
    std::FILE *file = _wfdopen(descriptor, L"wb");
    if (file == nullptr) {
        const int error = errno;
        _close(descriptor);
        errno = error;
    }
    return file;
#else
    return std::fopen(path.c_str(), "wbx");
#endif
}

// Writes all of `text`, then flushes and closes the file, checking each step: a full disk or a
// file size limit may only show when the buffer is flushed or the file closed.
FileResult<void> write_and_close(FilePtr file, std::string_view text) {
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) {
        return std::unexpected(write_error(describe_errno(errno)));
    }
    if (std::fflush(file.get()) != 0) {
        return std::unexpected(write_error(describe_errno(errno)));
    }
    if (std::fclose(file.release()) != 0) {
        return std::unexpected(write_error(describe_errno(errno)));
    }
    return {};
}

// Follows symbolic links until the path names something else or nothing; the limit matches the
// usual operating system limit so a loop of links fails instead of spinning.
FileResult<fs::path> resolve_links(fs::path path) {
    constexpr int MAX_LINKS = 40;
    for (int hop = 0; hop < MAX_LINKS; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(path, error))) {
            return path;
        }
        fs::path target = fs::read_symlink(path, error);
        if (error) {
            return std::unexpected(open_error(describe(error)));
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return std::unexpected(
        open_error(describe(std::make_error_code(std::errc::too_many_symbolic_link_levels))));
}

struct TemporaryFile {
    FilePtr file;
    fs::path path;
};

// Creates a new file with a unique name in the directory of `target`. The exclusive mode makes
// a name clash (another save at the same moment) fail instead of sharing the file.
FileResult<TemporaryFile> create_temporary_beside(const fs::path &target) {
    std::random_device seed;
    std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) ^
                           static_cast<std::uint64_t>(seed()));
    constexpr int ATTEMPTS = 100;
    int last_error = 0;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        std::array<char, 17> hex{};
        std::snprintf(hex.data(), hex.size(), "%016llx", static_cast<unsigned long long>(random()));
        fs::path candidate = target;
        candidate.replace_filename(".annotrove-" + std::string(hex.data()) + ".tmp");
        std::FILE *file = create_new_file(candidate);
        if (file != nullptr) {
            return TemporaryFile{FilePtr(file), std::move(candidate)};
        }
        last_error = errno;
        if (last_error != EEXIST) {
            break;
        }
    }
    return std::unexpected(open_error(describe_errno(last_error)));
}

FileResult<void> write_in_place(const fs::path &path, std::string_view text) {
    FilePtr file(open_file(path, "wb"));
    if (!file) {
        return std::unexpected(open_error(describe_errno(errno)));
    }
    return write_and_close(std::move(file), text);
}

} // namespace

FileResult<std::string> read_text_file(std::string_view path) {
    auto fs_path = to_path(path);
    if (!fs_path) {
        return std::unexpected(std::move(fs_path.error()));
    }
    FilePtr file(open_file(*fs_path, "rb"));
    if (!file) {
        return std::unexpected(open_error(describe_errno(errno)));
    }
    std::string text;
    std::array<char, 1 << 16> buffer{};
    while (true) {
        const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file.get());
        text.append(buffer.data(), count);
        if (count < buffer.size()) {
            break;
        }
    }
    // A directory opens on some systems and only fails here.
    if (std::ferror(file.get()) != 0) {
        return std::unexpected(open_error(describe_errno(errno)));
    }
    return text;
}

FileResult<void> replace_file_contents(std::string_view path, std::string_view text) {
    auto given = to_path(path);
    if (!given) {
        return std::unexpected(std::move(given.error()));
    }
    // Asked of the system, which follows every kind of link: /dev/fd/N of a process substitution
    // is a link to a pipe that no path names, so following it by hand would find nothing there.
    std::error_code given_error;
    const fs::file_status given_status = fs::status(*given, given_error);
    if (fs::exists(given_status) && !fs::is_regular_file(given_status) &&
        !fs::is_directory(given_status)) {
        return write_in_place(*given, text);
    }
    auto target = resolve_links(std::move(*given));
    if (!target) {
        return std::unexpected(std::move(target.error()));
    }

    std::error_code status_error;
    const fs::file_status status = fs::status(*target, status_error);
    const bool exists = fs::exists(status);
    if (exists && !fs::is_regular_file(status)) {
        return write_in_place(*target, text);
    }

    if (exists) {
        // Renaming needs only the directory's permission; opening the file for appending (which
        // changes nothing) makes a file the caller may not write fail as writing it in place would.
        FilePtr probe(open_file(*target, "ab"));
        if (!probe) {
            return std::unexpected(open_error(describe_errno(errno)));
        }
    }

    auto temporary = create_temporary_beside(*target);
    if (!temporary) {
        return std::unexpected(std::move(temporary.error()));
    }
    const auto discard = [&] {
        std::error_code ignored;
        fs::remove(temporary->path, ignored);
    };
    if (auto written = write_and_close(std::move(temporary->file), text); !written) {
        discard();
        return written;
    }
    if (exists) {
        // Best effort: a file that cannot take the old permissions is still a correct policy.
        std::error_code ignored;
        fs::permissions(temporary->path, status.permissions(), fs::perm_options::replace, ignored);
    }
    std::error_code rename_error;
    fs::rename(temporary->path, *target, rename_error);
    if (rename_error) {
        discard();
        return std::unexpected(open_error(describe(rename_error)));
    }
    return {};
}

} // namespace annotrove::policy
