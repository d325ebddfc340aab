// The export loop's rows on their way to the file, in blocks.
#include "export/block.h"

#include "state.h"

using namespace pybind11::literals;

namespace sadrel {

// ---- the counter -----------------------------------------------------------------

PyObject *Count::ptr() const {
    if (!cache_ || cached_ != value_) {
        PyObject *number = PyLong_FromLongLong(value_);
        if (number == nullptr) {
            throw py::error_already_set();
        }
        cache_ = py::reinterpret_steal<py::object>(number);
        cached_ = value_;
    }
    return cache_.ptr();
}

BlockSize::BlockSize(py::handle block_size) : object_(block_size) {
    if (PyLong_CheckExact(block_size.ptr())) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(block_size.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        if (overflow == 0 && value > 0) {
            value_ = value;
        }
    }
}

bool BlockSize::equals(Py_ssize_t length) const {
    if (value_ > 0) {
        return static_cast<long long>(length) == value_;
    }
    return kvrt::eq(py::int_(length), object_);
}

bool BlockSize::divides(const Count &i) const {
    if (value_ > 0) {
        return i.value() % value_ == 0;
    }
    PyObject *remainder = PyNumber_Remainder(i.ptr(), object_.ptr());
    if (remainder == nullptr) {
        throw py::error_already_set();
    }
    return kvrt::eq(py::reinterpret_steal<py::object>(remainder), py::int_(0));
}

// ---- the line check --------------------------------------------------------------

bool has_content(py::handle row) {
    if (PyBytes_CheckExact(row.ptr()) && !bytes_warnings()) {
        // bytes.strip() takes ASCII whitespace off both ends.
        const char *p = PyBytes_AS_STRING(row.ptr());
        const char *end = p + PyBytes_GET_SIZE(row.ptr());
        for (; p < end; ++p) {
            if (!Py_ISSPACE(*p)) {
                return true;
            }
        }
        return false;
    }
    py::object stripped = row.attr("strip")();
    return !kvrt::eq(stripped, py::bytes("")) && !kvrt::eq(stripped, py::str(""));
}

bool has_content(const Line &row) {
    if (row.object || bytes_warnings()) {
        return has_content(row.bytes());  // with -b, the comparisons warn
    }
    for (Py_ssize_t k = 0; k < row.size; ++k) {
        if (!Py_ISSPACE(row.data[k])) {
            return true;
        }
    }
    return false;
}

// ---- the blocks ------------------------------------------------------------------

Blocks::Blocks(const kvrt::Globals &g, const kvrt::FunctionDef &to_csv, py::handle self, py::handle ctx,
               py::handle unique_path, py::handle block_size)
    : loads(g), g_(g), self_(self), ctx_(ctx), unique_path_(unique_path), block_size_(block_size),
      writer_(g, to_csv, self, unique_path), next_multiple_(block_size_.value()) {}

/// Python code may run from here on: json is checked again before the next native parse.
void Blocks::call_out() { loads.python_ran(); }

bool Blocks::append_parsed_slowly(const Line &row) {
    if (row.after_read) {
        call_out();  // the read ran urllib3's code
    }
    if (PyList_GET_SIZE(datas.ptr()) == 0 && loads.parse_into(row, parsed_)) {
        return true;
    }
    to_objects();
    return false;
}

/// The rows parsed natively so far, as the objects json.loads makes of them.
void Blocks::to_objects() {
    for (std::size_t r = 0; r < parsed_.count(); ++r) {
        PyObject *row = tuples_ ? parsed_.tuple(r) : parsed_.object(r);
        if (row == nullptr) {
            throw py::error_already_set();
        }
        append(py::reinterpret_steal<py::object>(row));
    }
    parsed_.clear();
}

void Blocks::piece_begun() {
    written_before_piece_ = written;
    size_before_piece_ = writer_.file().size();
}

void Blocks::piece_done() {
    std::vector<long long> counts;
    counts.swap(waiting_);
    call_out();
    for (long long count : counts) {
        g_["BMOBJ"].attr("clog")(ctx_, py::int_(count));
    }
}

void Blocks::piece_lost() {
    waiting_.clear();
    if (written && !written_before_piece_) {
        writer_.file().take_back(-1);  // the header line's file: made within the piece
        written = false;
    } else if (written && size_before_piece_ >= 0) {
        writer_.file().take_back(size_before_piece_);
    }
}

/// The writer notes the file so made, the one a clean-up may remove.
void Blocks::write_header() {
    call_out();
    if (writer_.write(cols, py::list(), false)) {
        return;
    }
    const bool was_free = !path_taken(g_, unique_path_);
    try {
        py::object df = g_["pandas"].attr("DataFrame")("data"_a = py::list(), "columns"_a = cols);
        self_.attr("g_to_csv_notmp")(unique_path_, df, "index"_a = py::none());
    } catch (py::error_already_set &e) {
        kvrt::Handling handling(e);
        writer_.note_made(was_free);
        throw;
    }
    writer_.note_made(was_free);
    writer_.note_written();
}

/// `self.g_to_csv_notmp(unique_path, pandas.DataFrame(data=datas, columns=cols), index=None, mode='a', header=False)`
/// then `datas = []`.
void Blocks::append_datas() {
    call_out();  // a block written calls out, natively or not (open(), pandas)
    if (parsed_.count() > 0) {
        if (writer_.write(cols, parsed_, true)) {
            parsed_.clear();
            return;
        }
        to_objects();  // the plain steps, with the rows json.loads makes
    }
    if (!writer_.write(cols, datas, true)) {
        py::object df = g_["pandas"].attr("DataFrame")("data"_a = datas, "columns"_a = cols);
        self_.attr("g_to_csv_notmp")(unique_path_, df, "index"_a = py::none(), "mode"_a = "a", "header"_a = false);
        writer_.note_written();
    }
    datas = py::list();
}

void Blocks::append(py::handle row) {
    if (PyList_Append(datas.ptr(), row.ptr()) < 0) {
        throw py::error_already_set();
    }
}

void Blocks::append(const FetchedRow &row) {
    tuples_ = true;
    if (PyList_GET_SIZE(datas.ptr()) == 0) {
        if (row.rows != nullptr) {
            parsed_.append_row(*row.rows, row.r);
            return;
        }
        if (parsed_.append_values(row.object.ptr())) {
            return;
        }
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
    }
    if (row.rows == nullptr) {
        to_objects();
        append(row.object);
        return;
    }
    PyObject *made = row.rows->tuple(row.r);
    if (made == nullptr) {
        throw py::error_already_set();
    }
    append(py::reinterpret_steal<py::object>(made));
}

void Blocks::count_slowly() {
    if (block_size_.value() > 0 && i.value() == next_multiple_) {
        next_multiple_ += block_size_.value();
    }
    if (block_size_.equals(held())) {
        append_datas();
    }
    if (block_size_.divides(i)) {
        if (lines_ != nullptr && lines_->deferring()) {
            waiting_.push_back(i.value());
        } else {
            call_out();
            g_["BMOBJ"].attr("clog")(ctx_, i.object());
        }
    }
}

void Blocks::log_total() {
    call_out();
    g_["BMOBJ"].attr("clog")(ctx_, py::str("total: ") + py::str(i.object()));
}

void Blocks::append_rest() {
    if (held() > 0) {
        append_datas();
    }
}

void Blocks::drop() {
    parsed_.clear();
    datas = py::list();
}

MadeFile Blocks::made() const { return writer_.file().made(); }

bool Blocks::may_defer() { return !exists(unique_path_) && loads.stdlib_now() && writer_.may_write(); }

// ---- the lines of the OpenAPI route ----------------------------------------------

BlockLines::BlockLines(const kvrt::Globals &g, Blocks &blocks, py::handle r, long long chunk_size)
    : ResponseLines(g, r, chunk_size, blocks.may_defer()), blocks_(blocks) {
    listen(&blocks_);
    blocks_.follow(this);
}

BlockLines::~BlockLines() { blocks_.follow(nullptr); }

void BlockLines::settle_on(const py::error_already_set &e) {
    if (e.matches(PyExc_Exception)) {
        settle();
    }
}

}  // namespace sadrel
