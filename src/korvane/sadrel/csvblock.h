// The block writer of both export loops: writes a block of rows as the CSV
// text that pandas writes for it, without building the DataFrame, as long as
// cheap checks show that pandas would write exactly that text. Otherwise the
// caller makes the plain calls.
#pragma once

#include "kvrt.h"

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace sadrel {

namespace fastjson {
class Rows;
}

/// Writes one export's blocks into its file. Each block is either written
/// here, natively, or by the caller's plain calls
///     self.g_to_csv_notmp(path, pandas.DataFrame(data=datas, columns=cols), index=None[, mode='a', header=False])
/// with the same bytes in the file either way. While `g_to_csv_notmp` is the
/// module's own, each append first checks that the file is still the one
/// this export left: the same device, inode and size.
class BlockWriter {
public:
    /// `own` is the definition of the module's own `g_to_csv_notmp`.
    BlockWriter(const kvrt::Globals &g, const kvrt::FunctionDef &own, py::handle self, py::handle path);
    ~BlockWriter();
    BlockWriter(const BlockWriter &) = delete;
    BlockWriter &operator=(const BlockWriter &) = delete;

    /// Writes the header line (mode "w") or the block `datas` (mode "a") and
    /// returns true, or returns false without a trace when a guard fails; the
    /// caller then makes the plain calls and calls `written()`. An append first
    /// raises OSError if the file is no longer what this export left.
    bool write(py::handle cols, py::handle datas, bool append);

    /// The same for rows of the native row parser (no Python object per value).
    bool write(py::handle cols, const fastjson::Rows &rows, bool append);

    /// Whether a block would be written here now, as far as the guards
    /// tell before its rows are known (then no code of anyone else runs).
    bool may_write();

    /// After the plain calls wrote a block: remembers the file as they left it,
    /// after checking that an append grew the file the last block left.
    void written();

    /// The size of the file as the last block left it, or -1 when not known.
    off_t size() const { return known_ ? size_ : -1; }

    /// Takes the file back to `size` bytes, or removes it (`size` < 0): only
    /// while it is still the file the last block left. For the blocks of a
    /// piece of a response that, in the end, never arrived whole.
    void take_back(off_t size);

    /// The regular file that this export's header write opened (created, or
    /// truncated and filled), by device and inode: false until then. The
    /// plain calls' header is noted by `note_made()` after they ran.
    bool made(dev_t &dev, ino_t &ino) const;

    /// After the plain calls wrote the header, or failed to: takes the
    /// regular file now at the path for this export's, where the module's
    /// own `g_to_csv_notmp` wrote it or nothing stood there before
    /// (`was_free`).
    void note_made(bool was_free);

    struct Snapshot;

private:
    bool resolve_own();
    Py_ssize_t begin(py::handle cols, Py_ssize_t rows, bool append);
    void check_unchanged();
    [[noreturn]] void raise_changed();
    void remember();
    void remember(const struct stat &st);
    void note_recreated();
    bool path_known();
    bool guards_hold();
    bool path_plain();
    bool path_allowed();

    const kvrt::Globals &g_;
    const kvrt::FunctionDef &own_def_;
    py::handle self_;
    py::handle path_;
    bool own_ = false;          // g_to_csv_notmp was the module's own for this block
    bool append_ = false;       // this block is appended
    Py_ssize_t rows_ = 0;       // its rows (-1: not known)
    bool known_ = false;        // dev_, ino_ and size_ describe the file as last left
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    off_t size_ = 0;
    int fd_ = -1;               // the file last left, held open for reading
    std::string fs_path_;       // the path, encoded for the file system
    int path_state_ = 0;        // path_plain(): 0 not yet decided, 1 plain, -1 not
    bool made_ = false;         // made_dev_ and made_ino_ name the file the header write opened
    dev_t made_dev_ = 0;
    ino_t made_ino_ = 0;
    Snapshot *snapshot_ = nullptr;  // what pandas was at the first check
};

}  // namespace sadrel
