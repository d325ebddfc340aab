// The block writer of both export loops: a block of rows as the CSV text that pandas writes for it, without pandas.
//
// `pandas.DataFrame(data=datas, columns=cols)` infers one dtype per column
// from all its values, and `to_csv(path, index=None, ...)` formats each dtype
// in its own way before Python's csv module quotes the fields. For the
// values a row of either route holds (None, bool, int, float, str), that
// comes down to these rules, which tests/test_block_writer.py checks against
// pandas itself on generated blocks:
//
//   - None, and a float NaN, print nothing; a bool prints True or False; a
//     float prints as repr() does (inf, -0.0 and 5e-324 included); a str
//     prints as it is;
//   - an int prints as str() does, except in a column that holds no str and
//     no bool but a float or a None: pandas makes that column float64, and
//     the int prints as repr(float(int));
//   - a field with a comma, a double quote or a line feed is quoted, its
//     quotes doubled (a carriage return and NUL as the csv module of the
//     interpreter does it, asked once per export); a row of one empty field
//     is written `""`; every row ends with "\n";
//   - the file is opened as pandas opens a path: open(path, mode,
//     encoding="utf-8", errors="strict", newline="").
//
// Everything else goes to pandas: ints outside int64, other types, rows of
// another width, strings UTF-8 cannot encode, names that are no str, paths
// pandas would compress or resolve, other pandas or numpy releases, options
// that change the result, and any of pandas' objects on the way replaced.
#pragma once

#include "export/export_file.h"
#include "guards/pandas_facts.h"
#include "kvrt.h"

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
    BlockWriter(const kvrt::Globals &g, const kvrt::FunctionDef &own, py::handle self, py::handle path)
        : g_(g), own_def_(own), self_(self), path_(path), file_(g, path) {}

    /// Writes the header line (mode "w") or the block `datas` (mode "a") and
    /// returns true, or returns false without a trace when a guard fails; the
    /// caller then makes the plain calls and calls `note_written()`. An
    /// append first raises OSError if the file is no longer what this export left.
    bool write(py::handle cols, py::handle datas, bool append);

    /// The same for rows of the native row parser (no Python object per value).
    bool write(py::handle cols, const fastjson::Rows &rows, bool append);

    /// Whether a block would be written here now, as far as the guards
    /// tell before its rows are known (then no code of anyone else runs).
    bool may_write();

    /// After the plain calls wrote a block: remembers the file as they left it,
    /// after checking that an append went into the file the last block left.
    void note_written();

    /// After the plain calls wrote the header, or failed to: takes the
    /// regular file now at the path for this export's, where the module's
    /// own `g_to_csv_notmp` wrote it or nothing stood there before (`was_free`).
    void note_made(bool was_free) { file_.note_made(own_ || was_free); }

    /// The export's file, as the blocks left it.
    ExportFile &file() { return file_; }
    const ExportFile &file() const { return file_; }

private:
    template <class Source>
    bool write_rows(py::handle cols, const Source &rows, bool append);
    bool resolve_own();
    Py_ssize_t begin(py::handle cols, Py_ssize_t rows, bool append);
    bool path_plain();
    bool path_allowed();

    /// Whether pandas writes the path as plain text (path_plain()).
    enum class PathRule { undecided, plain, other };

    const kvrt::Globals &g_;
    const kvrt::FunctionDef &own_def_;
    py::handle self_;
    py::handle path_;
    ExportFile file_;
    PandasFacts pandas_;
    bool own_ = false;          // g_to_csv_notmp was the module's own for this block
    bool append_ = false;       // this block is appended
    Py_ssize_t rows_ = 0;       // its rows (-1: not known)
    PathRule path_rule_ = PathRule::undecided;
};

}  // namespace sadrel
