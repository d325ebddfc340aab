// The export's file: opened as pandas opens it, followed by device, inode and size, taken back, and the made-file record.
#pragma once

#include "kvrt.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace sadrel {

/// The file an export made at its path, by device and inode (`known` false
/// while it made none).
struct MadeFile {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

/// Whether something stands at `path`:
///     try:
///         os.lstat(path)
///     except OSError:
///         return False
///     return True
bool path_taken(const kvrt::Globals &g, py::handle path);

/// Whether anything stands at `path` (a str path), as lstat sees it; true
/// where that is not known.
bool exists(py::handle path);

/// Whether the clean-up of a failed export may remove `path`: nothing
/// stands there, or the very file that the export made does. Anything else
/// there (a file that replaced it, a link, a directory) is someone else's.
///     try:
///         st = os.lstat(path)
///     except OSError:
///         return True
///     return made is not None and (st.st_dev, st.st_ino) == made
bool may_remove(const kvrt::Globals &g, py::handle path, const MadeFile &made);

/// `with open(path, mode, encoding="utf-8", errors="strict", newline="") as f:`
/// and the text written through it: the file object's encoding of the text
/// is UTF-8 without translation, so its bytes go to its buffer as they are.
class File {
public:
    File(const kvrt::Globals &g, py::handle path, const char *mode);
    void write(const char *data, std::size_t size);
    /// fstat() of the open file, after flushing what was written: false
    /// when the file has no descriptor or fstat fails.
    bool stat(struct stat &st, bool flush);
    void close() { file_.attr("close")(); }

private:
    template <class F>
    void closing_on_error(F step);

    py::object file_;
    py::object write_;
};

/// One export's file as the blocks left it: its device, inode and size
/// after each block, and the file that its header write made. As long as
/// the export holds the file open, a file made in its place gets another
/// inode, even where the file system hands out freed inodes at once.
class ExportFile {
public:
    ExportFile(const kvrt::Globals &g, py::handle path) : g_(g), path_(path) {}
    ~ExportFile();
    ExportFile(const ExportFile &) = delete;
    ExportFile &operator=(const ExportFile &) = delete;

    /// Whether the path names a file to check: encodes it on the first call.
    bool checkable();
    /// Whether the file as last left is known.
    bool known() const { return known_; }
    /// The size of the file as the last block left it, or -1 when not known.
    off_t size() const { return known_ ? size_ : -1; }
    /// `st` is the file as last left.
    bool is_last(const struct stat &st) const {
        return st.st_dev == dev_ && st.st_ino == ino_ && st.st_size == size_;
    }
    void forget() { known_ = false; }

    /// Raises OSError where the file is no longer what the last block left:
    /// an append would otherwise re-create a deleted file or write after a
    /// cut, and the export would pass for complete.
    void check_unchanged();
    [[noreturn]] void raise_changed();

    /// After the plain calls appended a block: it went into the very file
    /// that the last block left, grown where `grows` (pandas writes the path
    /// as plain text, and the block had rows), or at least not shrunk.
    void check_appended(bool plain, Py_ssize_t rows);

    /// Remembers the file now at the path, or `st`, the file just written.
    void remember();
    void remember(const struct stat &st);

    /// Takes the file back to `size` bytes, or removes it (`size` < 0): only
    /// while it is still the file the last block left.
    void take_back(off_t size);

    /// The file this export's header write opened: `st`, where the header
    /// was written here; else the regular file now at the path, where the
    /// module's own `g_to_csv_notmp` wrote it or nothing stood there before
    /// (`ours`).
    void note_made_here(const struct stat *st);
    void note_made(bool ours);
    MadeFile made() const { return made_; }

private:
    void note_recreated(Py_ssize_t rows);

    const kvrt::Globals &g_;
    py::handle path_;
    std::string fs_path_;  // the path, encoded for the file system
    bool known_ = false;   // dev_, ino_ and size_ describe the file as last left
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    off_t size_ = 0;
    int fd_ = -1;          // the file last left, held open for reading
    MadeFile made_;
};

/// An attempt of the direct route, as its caller follows it: the path it
/// was given and the file it made there. `get_data_raw_pyhive` sets one up
/// on this thread for each attempt; the attempt at that path reports into it.
struct Attempt {
    py::handle path;
    MadeFile made;
    Attempt *outer;
};

/// `get_data_raw_pyhive`'s hold on one attempt, for as long as it runs and is cleaned up after.
class Following {
public:
    explicit Following(py::handle path);
    ~Following();
    Following(const Following &) = delete;
    Following &operator=(const Following &) = delete;
    const MadeFile &made() const { return attempt_.made; }

private:
    Attempt attempt_;
};

/// An attempt's report of the file it made, on every way out of it, to the
/// `get_data_raw_pyhive` that gave it its path (none when called by itself).
class Reporting {
public:
    Reporting(py::handle unique_path, const ExportFile &file);
    ~Reporting();
    Reporting(const Reporting &) = delete;
    Reporting &operator=(const Reporting &) = delete;

private:
    const ExportFile &file_;
    Attempt *to_ = nullptr;
};

}  // namespace sadrel
