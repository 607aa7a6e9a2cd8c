#include "text_file.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
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

// Who may read a new file from the moment it exists.
enum class Access {
    Default,   // as the umask allows: the final mode of a file that replaces nothing
    OwnerOnly, // until the mode of the file it replaces is set, which may be stricter
};

// Creates a file that must not exist yet, for writing; null with errno set on failure. The C
// library's "x" mode would do, but msvcrt, which MinGW builds link, ignores it and truncates an
// existing file, so Windows asks the operating system for exclusive creation directly; POSIX
// asks for it too, to choose the mode the file is born with.
std::FILE *create_new_file(const fs::path &path, [[maybe_unused]] Access access) {
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
    const mode_t mode = access == Access::OwnerOnly ? S_IRUSR | S_IWUSR
                                                    : S_IRUSR | S_IWUSR | S_IRGRP | S_IWGRP |
                                                          S_IROTH | S_IWOTH;
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE *file = ::fdopen(descriptor, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
    }
    return file;
#endif
}

// Waits until the file's data and attributes are on the storage device, so that a rename that
// survives a power loss cannot name an empty or partly written file. 0 or the errno.
int sync_file(std::FILE *file) {
#ifdef _WIN32
    return _commit(_fileno(file)) == 0 ? 0 : errno; // FlushFileBuffers underneath
#else
    const int descriptor = ::fileno(file);
#ifdef F_FULLFSYNC
    // fsync alone leaves the data in the drive's cache on this platform.
    if (::fcntl(descriptor, F_FULLFSYNC) == 0) {
        return 0;
    }
#endif
    while (::fsync(descriptor) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
#endif
}

#ifndef _WIN32
// Makes a rename in `directory` durable. Best effort: the new file is already in place, and some
// file systems cannot sync a directory at all. Windows asks for this in the rename itself.
void sync_directory(const fs::path &directory) {
    const fs::path name = directory.empty() ? fs::path(".") : directory;
    const int descriptor = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}
#endif

// Puts the complete temporary file in the place of `target`, replacing any file there; the
// rename itself is durable once this returns.
FileResult<void> move_into_place(const fs::path &temporary, const fs::path &target) {
#ifdef _WIN32
    if (!MoveFileExW(temporary.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const auto error = static_cast<int>(GetLastError());
        return std::unexpected(open_error(describe(std::error_code(error, std::system_category()))));
    }
#else
    std::error_code rename_error;
    fs::rename(temporary, target, rename_error);
    if (rename_error) {
        return std::unexpected(open_error(describe(rename_error)));
    }
    sync_directory(target.parent_path());
#endif
    return {};
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

// What a replaced file passes on to the file that replaces it.
struct KeptAttributes {
    fs::perms permissions = fs::perms::none;
#ifndef _WIN32
    gid_t group = 0;
#endif
};

// Gives the new file the replaced file's group, where the caller may set it (a member of that
// group, or the superuser), then its permission bits; changing the group can clear set-id bits,
// so the mode comes second. Best effort: a file that cannot take them is still a correct policy.
void apply_attributes([[maybe_unused]] std::FILE *file, [[maybe_unused]] const fs::path &path,
                      const KeptAttributes &kept) {
#ifdef _WIN32
    std::error_code ignored;
    fs::permissions(path, kept.permissions, fs::perm_options::replace, ignored);
#else
    const int descriptor = ::fileno(file);
    [[maybe_unused]] const int chowned = ::fchown(descriptor, static_cast<uid_t>(-1), kept.group);
    ::fchmod(descriptor, static_cast<mode_t>(kept.permissions));
#endif
}

// Writes all of `text` to the new file, gives it what the replaced file keeps, and makes it
// durable before closing it; each step checked, as in write_and_close.
FileResult<void> complete_temporary(FilePtr file, const fs::path &path, std::string_view text,
                                    const std::optional<KeptAttributes> &kept) {
    if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file.get()) != text.size()) {
        return std::unexpected(write_error(describe_errno(errno)));
    }
    if (std::fflush(file.get()) != 0) {
        return std::unexpected(write_error(describe_errno(errno)));
    }
    if (kept) {
        apply_attributes(file.get(), path, *kept);
    }
    if (const int error = sync_file(file.get()); error != 0) {
        return std::unexpected(write_error(describe_errno(error)));
    }
    if (std::fclose(file.release()) != 0) {
        return std::unexpected(write_error(describe_errno(errno)));
    }
    return {};
}

struct TemporaryFile {
    FilePtr file;
    fs::path path;
};

// Creates a new file with a unique name in the directory of `target`. The exclusive mode makes
// a name clash (another save at the same moment) fail instead of sharing the file.
FileResult<TemporaryFile> create_temporary_beside(const fs::path &target, Access access) {
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
        std::FILE *file = create_new_file(candidate, access);
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

    std::optional<KeptAttributes> kept;
    if (exists) {
        // Renaming needs only the directory's permission; opening the file for appending (which
        // changes nothing) makes a file the caller may not write fail as writing it in place would.
        FilePtr probe(open_file(*target, "ab"));
        if (!probe) {
            return std::unexpected(open_error(describe_errno(errno)));
        }
        kept.emplace();
        kept->permissions = status.permissions();
#ifndef _WIN32
        struct stat old_file {};
        if (::fstat(::fileno(probe.get()), &old_file) == 0) {
            kept->group = old_file.st_gid;
        } else {
            kept->group = static_cast<gid_t>(-1); // fchown then leaves the group alone
        }
#endif
    }

    // The replaced file may be readable by its owner alone: its successor is born that way and
    // given the old mode once written, so its contents are never readable by more.
    auto temporary =
        create_temporary_beside(*target, exists ? Access::OwnerOnly : Access::Default);
    if (!temporary) {
        return std::unexpected(std::move(temporary.error()));
    }
    const auto discard = [&] {
        std::error_code ignored;
        fs::remove(temporary->path, ignored);
    };
    if (auto written = complete_temporary(std::move(temporary->file), temporary->path, text, kept);
        !written) {
        discard();
        return written;
    }
    if (auto moved = move_into_place(temporary->path, *target); !moved) {
        discard();
        return moved;
    }
    return {};
}

} // namespace annotrove::policy
