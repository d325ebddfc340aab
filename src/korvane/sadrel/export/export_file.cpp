// The export's file and the made-file record.
#include "export/export_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace pybind11::literals;

namespace sadrel {
namespace {

thread_local Attempt *current_attempt = nullptr;

}  // namespace

bool path_taken(const kvrt::Globals &g, py::handle path) {
    try {
        g["os"].attr("lstat")(path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) {
            throw;
        }
        return false;
    }
    return true;
}

bool exists(py::handle path) {
    if (!PyUnicode_Check(path.ptr())) {
        return true;  // not known: take it as there
    }
    const char *text = PyUnicode_AsUTF8(path.ptr());
    if (text == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return true;
    }
    struct stat st;
    return ::lstat(text, &st) == 0 || errno != ENOENT;
}

bool may_remove(const kvrt::Globals &g, py::handle path, const MadeFile &made) {
    py::object st;
    try {
        st = g["os"].attr("lstat")(path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) {
            throw;
        }
        return true;
    }
    return made.known && kvrt::eq(st.attr("st_dev"), py::int_(made.dev)) &&
           kvrt::eq(st.attr("st_ino"), py::int_(made.ino));
}

// ---- File ------------------------------------------------------------------------

File::File(const kvrt::Globals &g, py::handle path, const char *mode) {
    file_ = g["open"](path, mode, "encoding"_a = "utf-8", "errors"_a = "strict", "newline"_a = "");
    try {
        write_ = file_.attr("buffer").attr("write");
    } catch (py::error_already_set &e) {
        kvrt::Handling handling(e);
        file_.attr("close")();
        throw;
    }
}

template <class F>
void File::closing_on_error(F step) {
    try {
        step();
    } catch (py::error_already_set &e) {
        kvrt::Handling handling(e);
        file_.attr("close")();
        throw;
    }
}

void File::write(const char *data, std::size_t size) {
    if (size == 0) {
        return;
    }
    closing_on_error([&] { write_(py::bytes(data, size)); });
}

bool File::stat(struct stat &st, bool flush) {
    int fd = -1;
    closing_on_error([&] {
        if (flush) {
            file_.attr("flush")();
        }
        py::object fileno = file_.attr("fileno")();
        fd = PyLong_Check(fileno.ptr()) ? static_cast<int>(PyLong_AsLong(fileno.ptr())) : -1;
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
    });
    return fd >= 0 && ::fstat(fd, &st) == 0;
}

// ---- ExportFile ------------------------------------------------------------------

ExportFile::~ExportFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool ExportFile::checkable() {
    if (fs_path_.empty()) {
        try {
            py::bytes encoded = g_["os"].attr("fsencode")(path_);
            fs_path_ = std::string(encoded);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) {
                throw;
            }
            fs_path_ = std::string(1, '\0');  // no path of the file system: nothing to check
        }
        if (fs_path_.empty() || fs_path_.find('\0') != std::string::npos) {
            fs_path_ = std::string(1, '\0');
        }
    }
    return fs_path_[0] != '\0';
}

void ExportFile::check_unchanged() {
    if (!known_) {
        return;
    }
    struct stat st;
    if (::stat(fs_path_.c_str(), &st) != 0 || !is_last(st)) {
        raise_changed();
    }
}

KVRT_NOINLINE void ExportFile::raise_changed() {
    known_ = false;
    kvrt::raise(g_["OSError"](
        py::str("export file {!r} was deleted, replaced or changed by something else while it was written")
            .format(path_)));
}

/// Between the check and pandas' own open the file may have gone: the block
/// must have been written into the very file that the last block left. Where
/// pandas writes the path as plain text, a block with rows grows it (a block
/// without rows, as a block_size of 0 makes, writes nothing); a compressed or
/// archived file need not grow with each block (a tar appends inside its
/// record padding), so there only the device and inode are checked.
void ExportFile::check_appended(bool plain, Py_ssize_t rows) {
    if (!known_) {
        return;
    }
    struct stat st;
    if (::stat(fs_path_.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_ ||
        (plain && (rows != 0 ? st.st_size <= size_ : st.st_size < size_))) {
        note_recreated(rows);
        raise_changed();
    }
}

void ExportFile::remember() {
    known_ = false;
    struct stat st;
    if (!checkable() || ::stat(fs_path_.c_str(), &st) != 0) {
        return;
    }
    remember(st);
}

/// Only a regular file has a size to check (not /dev/null, say).
void ExportFile::remember(const struct stat &st) {
    if (!S_ISREG(st.st_mode)) {
        return;
    }
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    size_ = st.st_size;
    known_ = true;
    struct stat held;
    if (fd_ >= 0) {
        if (::fstat(fd_, &held) == 0 && held.st_dev == dev_ && held.st_ino == ino_) {
            return;
        }
        ::close(fd_);
        fd_ = -1;
    }
    int fd = ::open(fs_path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (::fstat(fd, &held) != 0 || held.st_dev != dev_ || held.st_ino != ino_) {
        ::close(fd);
        return;
    }
    fd_ = fd;
}

void ExportFile::take_back(off_t size) {
    if (!known_) {
        return;
    }
    known_ = false;
    struct stat st;
    if (::lstat(fs_path_.c_str(), &st) != 0 || !is_last(st)) {
        return;
    }
    if (size < 0) {
        ::unlink(fs_path_.c_str());
        return;
    }
    int fd = ::open(fs_path_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (::fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_ && ::ftruncate(fd, size) == 0) {
        size_ = size;
        known_ = true;
    }
    ::close(fd);
}

/// The plain calls' append found the file gone and made a new one: the
/// block went there, not into the file last left, which this export still
/// holds open and which kept its size. That new file is this export's too.
void ExportFile::note_recreated(Py_ssize_t rows) {
    struct stat held;
    struct stat st;
    if (rows != 0 && fd_ >= 0 && ::fstat(fd_, &held) == 0 && held.st_size == size_ && held.st_nlink == 0 &&
        ::lstat(fs_path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_dev != dev_ || st.st_ino != ino_)) {
        made_ = MadeFile{true, st.st_dev, st.st_ino};
    }
}

void ExportFile::note_made_here(const struct stat *st) {
    made_ = st != nullptr && S_ISREG(st->st_mode) ? MadeFile{true, st->st_dev, st->st_ino} : MadeFile();
}

void ExportFile::note_made(bool ours) {
    struct stat st;
    if (ours && checkable() && ::lstat(fs_path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        made_ = MadeFile{true, st.st_dev, st.st_ino};
    } else {
        made_ = MadeFile();
    }
}

// ---- the attempts of the direct route --------------------------------------------

Following::Following(py::handle path) : attempt_{path, MadeFile(), current_attempt} { current_attempt = &attempt_; }

Following::~Following() { current_attempt = attempt_.outer; }

Reporting::Reporting(py::handle unique_path, const ExportFile &file) : file_(file) {
    Attempt *a = current_attempt;
    if (a != nullptr && (a->path.is(unique_path) || (PyUnicode_CheckExact(a->path.ptr()) &&
                                                     PyUnicode_CheckExact(unique_path.ptr()) &&
                                                     PyUnicode_Compare(a->path.ptr(), unique_path.ptr()) == 0))) {
        to_ = a;
    }
}

Reporting::~Reporting() {
    if (to_ != nullptr) {
        to_->made = file_.made();
    }
}

}  // namespace sadrel
