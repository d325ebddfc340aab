// The export loop's rows on their way to the file, in blocks: the state both routes share.
#pragma once

#include "export/block_writer.h"
#include "export/json_loads.h"
#include "export/presto_pages.h"
#include "export/response_lines.h"
#include "export/row_parser.h"
#include "kvrt.h"

#include <sys/types.h>
#include <vector>

namespace sadrel {

/// The row counter `i` of an export loop: a C integer that becomes a Python
/// int whenever Python code is to see it.
class Count {
public:
    Count &operator+=(long long step) {
        value_ += step;
        return *this;
    }
    bool operator==(long long other) const { return value_ == other; }
    long long value() const { return value_; }
    /// The int object, as `i` is in Python (for comparisons and calls).
    PyObject *ptr() const;
    py::object object() const { return py::reinterpret_borrow<py::object>(ptr()); }

private:
    long long value_ = 0;
    mutable py::object cache_;
    mutable long long cached_ = -1;
};

/// `block_size` as the loop compares with it: in C while it is a positive
/// exact int, through Python's `==` and `%` otherwise.
class BlockSize {
public:
    explicit BlockSize(py::handle block_size);
    /// `len(datas) == block_size`
    bool equals(Py_ssize_t length) const;
    /// `i % block_size == 0`
    bool divides(const Count &i) const;
    /// The size, where the comparisons are made in C; else 0.
    long long value() const { return value_; }

private:
    py::handle object_;
    long long value_ = 0;  // 0 when the comparisons go through Python
};

/// `row.strip()` is neither b"" nor "": the line carries something to parse.
bool has_content(py::handle row);
bool has_content(const Line &row);

/// One export's rows on their way to the file, shared by both routes: rows
/// gather in `datas`, and each full block of `block_size` rows is appended
/// at once, so at most one block is held in memory. `datas`, `i` and `cols`
/// are the locals of the export loop. `writer` writes a block natively when
/// that gives the file pandas would write, and checks before each append
/// that the file is still the one this export left.
///
/// While the lines come from a piece of the response that is not yet read
/// whole (see ResponseLines), the progress messages wait for it, and if it
/// never arrives they are dropped and the file is taken back to what it was
/// before the piece: as if its lines had never been seen.
class Blocks : public ResponseLines::Listener {
public:
    /// `to_csv` is the definition of the module's own `g_to_csv_notmp`.
    Blocks(const kvrt::Globals &g, const kvrt::FunctionDef &to_csv, py::handle self, py::handle ctx,
           py::handle unique_path, py::handle block_size);

    py::list datas;
    Count i;
    py::object cols = py::list();
    JsonLoads loads;  // json.loads, for the rows
    bool written = false;  // whether this call created or truncated the file

    /// `self.g_to_csv_notmp(unique_path, pandas.DataFrame(data=[], columns=cols), index=None)`:
    /// creates or truncates the file and writes the header line only.
    void write_header();

    /// `datas.append(row)`
    void append(py::handle row);

    /// `datas.append(row)` for a row of pyhive's fetch: native values stay
    /// native, and so do a tuple's values of the kinds the writer takes,
    /// while the block holds no row made otherwise.
    void append(const FetchedRow &row);

    /// `datas.append(json.loads(row))` for a line that is an array of
    /// scalars, as native values while the block holds no row made
    /// otherwise; false leaves the line to the plain steps.
    bool append_parsed(const Line &row) {
        if (!row.after_read && PyList_GET_SIZE(datas.ptr()) == 0 && loads.parse_into(row, parsed_)) {
            return true;
        }
        return append_parsed_slowly(row);
    }

    /// After each counted line:
    ///     i += 1
    ///     if len(datas) == block_size: <append datas>
    ///     if i % block_size == 0: BMOBJ.clog(ctx, i)
    void count() {
        i += 1;
        const long long size = block_size_.value();
        if (size > 0 && i.value() != next_multiple_ && held() != size) {
            return;  // in C: no block is full, and i % block_size != 0
        }
        count_slowly();
    }

    /// `BMOBJ.clog(ctx, "total: " + str(i))`
    void log_total();

    /// `if len(datas) > 0: <append datas>`: the last, shorter block.
    void append_rest();

    /// `datas = []`
    void drop();

    /// The file that this export's header write made, if any.
    MadeFile made() const;
    /// The export's file, as the blocks left it.
    const ExportFile &file() const { return writer_.file(); }

    /// Whether a body of known length may be read in steps of 1 MiB, its
    /// effects waiting for each piece: where no file stands at the path yet
    /// and the blocks run no one else's code.
    bool may_defer();

    /// The lines being read (nullptr: none, or no longer).
    void follow(const ResponseLines *lines) { lines_ = lines; }

private:
    bool append_parsed_slowly(const Line &row);
    void count_slowly();
    void call_out();
    void to_objects();
    /// `len(datas)`
    Py_ssize_t held() const { return static_cast<Py_ssize_t>(parsed_.count()) + PyList_GET_SIZE(datas.ptr()); }
    void append_datas();
    void piece_begun() override;
    void piece_done() override;
    void piece_lost() override;

    const kvrt::Globals &g_;
    py::handle self_;
    py::handle ctx_;
    py::handle unique_path_;
    BlockSize block_size_;
    BlockWriter writer_;
    fastjson::Rows parsed_;                  // the block's first rows, parsed natively
    bool tuples_ = false;                    // they stand for tuples (pyhive's rows), not lists
    const ResponseLines *lines_ = nullptr;
    long long next_multiple_ = 0;             // the least multiple of block_size that i has not passed
    std::vector<long long> waiting_;         // progress counts of the piece being read
    bool written_before_piece_ = false;      // `written` when the piece began
    off_t size_before_piece_ = -1;           // the file's size then
};

/// `for row in r.iter_lines(chunk_size=chunk_size)` for the blocks of one
/// export: the lines of `r`, whose pieces the blocks follow.
class BlockLines : public ResponseLines {
public:
    BlockLines(const kvrt::Globals &g, Blocks &blocks, py::handle r, long long chunk_size);
    ~BlockLines();
    BlockLines(const BlockLines &) = delete;
    BlockLines &operator=(const BlockLines &) = delete;

    /// Where the loop ends with `e` in flight: a read error of the piece at
    /// hand comes first.
    void settle_on(const py::error_already_set &e);

private:
    Blocks &blocks_;
};

}  // namespace sadrel
