// Whole-file reads and writes by UTF-8 path, with failures described in the operating system's
// words. A replaced file is never left half written: the new text goes to a temporary file in the
// same directory, which is synced to the storage device and only then renamed over the old one;
// the rename is made durable too (the directory synced, or a write-through replace on Windows).
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace annotrove::policy {

struct FileError {
    enum class Stage {
        Open,  // the file could not be opened, created, read or put in place
        Write, // writing, flushing or closing the new contents failed
    };
    Stage stage;
    // The operating system's text, for example "No such file or directory (os error 2)".
    std::string description;
};

template <typename T> using FileResult = std::expected<T, FileError>;

FileResult<std::string> read_text_file(std::string_view path);

// Replaces the contents of the file at `path` with `text`.
// - A regular file, or a path that does not exist yet, is replaced by renaming a complete
//   temporary file over it, so a failed write leaves the previous contents as they were; an
//   existing file keeps its permission bits, and its group where the caller may set it, and one
//   the caller may not write is refused. The temporary file replacing an existing one is
//   readable by its owner alone until it has the old file's mode.
// - A symbolic link is followed and the file it leads to is replaced; the link stays.
// - Anything else that exists (a device, a FIFO) cannot be renamed over and is written in place.
FileResult<void> replace_file_contents(std::string_view path, std::string_view text);

} // namespace annotrove::policy
