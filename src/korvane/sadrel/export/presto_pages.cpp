// The stand-in for pyhive's fetch loop: execute, fetchmany, fetchone, _fetch_while, _fetch_more and _process_response for Presto's pages.
#include "export/presto_pages.h"

#include "guards/http_facts.h"
#include "guards/seen.h"

#include <algorithm>
#include <cstring>

namespace sadrel {
namespace {

/// `obj.name` as an exact int; false (nothing raised) for anything else.
bool int_attr(py::handle obj, const char *name, long long *out) {
    py::object value = attr_or_empty(obj, name);
    if (!value || !PyLong_CheckExact(value.ptr())) {
        return false;
    }
    int overflow = 0;
    *out = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (*out == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return overflow == 0;
}

void set_attr(py::handle obj, const char *name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), kvrt::intern(name), value.ptr()) < 0) {
        throw py::error_already_set();
    }
}

/// `response.encoding` names the codec that requests' json() decodes the page with as UTF-8, strictly
/// for the bytes that the page parser takes: "utf-8" given by the headers, or none (then
/// guess_json_utf finds UTF-8 in a text of more than 3 bytes without NUL or byte-order mark).
bool utf8_encoding(py::handle encoding, Py_ssize_t size) {
    if (encoding.is_none()) {
        return size > 3;
    }
    if (!PyUnicode_CheckExact(encoding.ptr())) {
        return false;
    }
    py::object folded = encoding.attr("lower")();
    return str_equals(folded, "utf-8") || str_equals(folded, "utf8");
}

/// The base type of a column as _process_data takes it, `col_type.split("(")[0].lower()`, for an ASCII type.
py::object base_type(py::handle type) {
    if (!PyUnicode_CheckExact(type.ptr()) || !PyUnicode_IS_ASCII(type.ptr())) {
        return py::object();
    }
    const char *text = PyUnicode_AsUTF8(type.ptr());
    if (text == nullptr) {
        throw py::error_already_set();
    }
    std::string base(text, std::strcspn(text, "("));
    for (char &c : base) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return py::str(base);
}

/// The step in which page_content reads a body of known length.
constexpr long long kContentStep = 1 << 20;

/// `response.content`, where requests' own property would take
/// `b"".join(self.iter_content(10 * 1024)) or b""` from urllib3's own read of a
/// body of known length without content coding: the same, in pieces of 1 MiB.
/// Each such read gives the whole piece, or less only at the end of the
/// data, so the bytes are the same; and a failed read loses them all either
/// way, with the same error, since urllib3 counts the bytes it names from the
/// start of the body, not of the read. Elsewhere, the property itself.
py::object page_content(py::handle response) {
    py::object content = attr_or_empty(response, "_content");
    py::object consumed = attr_or_empty(response, "_content_consumed");
    Facts facts;
    bool hands_on_cut = false;
    if (!content || content.ptr() != Py_False || !consumed || consumed.ptr() != Py_False ||
        !requests_own(response, facts) || !steps_allowed(response, facts, &hands_on_cut, true)) {
        return response.attr("content");
    }
    py::object pieces = response.attr("iter_content")(kContentStep);
    py::object body = py::bytes("").attr("join")(pieces);
    set_attr(response, "_content", body);
    set_attr(response, "_content_consumed", py::bool_(true));
    return body;
}

/// `**kwargs` beside `data=` and `headers=` as a plain dict update passes them:
/// an exact dict of str keys without either name.
bool plain_keywords(py::handle kwargs) {
    if (!kwargs || !PyDict_CheckExact(kwargs.ptr())) {
        return false;
    }
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || PyUnicode_CompareWithASCIIString(key, "data") == 0 ||
            PyUnicode_CompareWithASCIIString(key, "headers") == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

// ---- the rows of one fetch -------------------------------------------------------

FetchedRow::operator bool() const {
    if (rows == nullptr) {
        return kvrt::is_true(object);
    }
    std::size_t width = 0;
    rows->row(r, &width);
    return width > 0;
}

Fetched::operator bool() const { return is_plain_ ? kvrt::is_true(plain_) : !order_.empty(); }

void Fetched::add(py::object row) {
    order_.push_back(-1 - static_cast<long long>(objects_.size()));
    objects_.push_back(std::move(row));
}

void Fetched::add(const fastjson::Rows &page, std::size_t r, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        order_.push_back(static_cast<long long>(native_.count() + k));
    }
    native_.append_rows(page, r, n);
}

Fetched::iterator Fetched::begin() const {
    if (is_plain_) {
        PyObject *it = PyObject_GetIter(plain_.ptr());
        if (it == nullptr) {
            throw py::error_already_set();
        }
        return iterator(*this, 0, py::reinterpret_steal<py::object>(it));
    }
    return iterator(*this, order_.empty() ? kDone : 0, py::object());
}

Fetched::iterator Fetched::end() const { return iterator(*this, kDone, py::object()); }

Fetched::iterator::iterator(const Fetched &rows, std::size_t k, py::object it)
    : rows_(rows), k_(k), it_(std::move(it)) {
    if (k_ != kDone) {
        load();
    }
}

void Fetched::iterator::load() {
    if (it_) {
        PyObject *next = PyIter_Next(it_.ptr());
        if (next == nullptr) {
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
            k_ = kDone;
            return;
        }
        held_ = py::reinterpret_steal<py::object>(next);
        row_ = FetchedRow{held_};
        return;
    }
    if (k_ >= rows_.order_.size()) {
        k_ = kDone;
        return;
    }
    const long long at = rows_.order_[k_];
    row_ = at < 0 ? FetchedRow{rows_.objects_[static_cast<std::size_t>(-1 - at)]}
                  : FetchedRow{py::handle(), &rows_.native_, static_cast<std::size_t>(at)};
}

Fetched::iterator &Fetched::iterator::operator++() {
    ++k_;
    load();
    return *this;
}

// ---- the stand-in ------------------------------------------------------------------

FetchMany::FetchMany(const kvrt::Globals &g, py::handle cursor, py::handle fetch_size)
    : g_(g), cursor_(cursor), fetch_size_(fetch_size) {
    // islice() takes a size of None or an int of at least 0; other sizes are
    // left to the plain call and its errors.
    if (PyLong_CheckExact(fetch_size.ptr())) {
        int overflow = 0;
        long long size = PyLong_AsLongLongAndOverflow(fetch_size.ptr(), &overflow);
        if (size == -1 && PyErr_Occurred()) {
            throw py::error_already_set();
        }
        if (overflow == 0 && size >= 0) {
            size_ = size;
        }
    }
    deque_type_ = loaded_class("collections", "deque");
    native_ = size_ >= 0 && deque_type_ && facts_.take(cursor);
}

/// The rows of the page at hand into `cursor._data`, as pyhive would hold them.
void FetchMany::put_back() {
    if (!page_left()) {
        return;
    }
    py::list rows;
    for (; next_ < page_.count(); ++next_) {
        PyObject *row = page_.tuple(next_);
        if (row == nullptr) {
            throw py::error_already_set();
        }
        rows.append(py::reinterpret_steal<py::object>(row));
    }
    page_.clear();
    next_ = 0;
    cursor_.attr("_data").attr("extend")(rows);
}

/// `cursor.fetchmany(fetch_size)` itself, from now on.
Fetched FetchMany::plain() {
    native_ = false;
    put_back();
    return Fetched(cursor_.attr("fetchmany")(fetch_size_));
}

Fetched FetchMany::operator()() {
    if (!native_ || !facts_.hold(cursor_)) {
        return plain();
    }
    Fetched out;
    if (size_ == 0) {
        return out;  // islice(..., 0) calls nothing
    }
    long long state = 0;
    long long rownumber = 0;
    if (!int_attr(cursor_, "_state", &state) || !int_attr(cursor_, "_rownumber", &rownumber) ||
        state == facts_.none) {
        return plain();  // fetchone raises ProgrammingError itself
    }
    py::object fetchone = cursor_.attr("fetchone");  // as islice(iter(self.fetchone, None), size) holds it
    long long taken = 0;
    auto sync = [&] { set_attr(cursor_, "_rownumber", py::int_(rownumber + taken)); };
    while (taken < size_) {
        // fetchone: self._fetch_while(lambda: not self._data and self._state != self._STATE_FINISHED)
        py::object data = attr_or_empty(cursor_, "_data");
        if (!exactly(data, deque_type_) || !int_attr(cursor_, "_state", &state)) {
            break;
        }
        auto waiting = [&] { return !page_left() && PyObject_Length(data.ptr()) == 0 && state != facts_.finished; };
        bool own = true;
        while (waiting()) {
            sync();
            if (!facts_.hold(cursor_)) {
                own = false;
                break;
            }
            fetch_more();
            data = attr_or_empty(cursor_, "_data");
            if (!exactly(data, deque_type_) || !int_attr(cursor_, "_state", &state)) {
                own = false;
                break;
            }
            if (waiting()) {
                // time.sleep(self._poll_interval), with pyhive.common's time
                py::object time = py::reinterpret_borrow<py::object>(
                    PyDict_GetItemString(PyModule_GetDict(facts_.common().ptr()), "time"));
                time.attr("sleep")(cursor_.attr("_poll_interval"));
            }
        }
        if (!own) {
            // The rest of this fetch as pyhive's islice takes it.
            native_ = false;
            put_back();
            for (; taken < size_; ++taken) {
                py::object row = fetchone();
                if (row.is_none()) {
                    break;
                }
                out.add(std::move(row));
            }
            return out;
        }
        if (page_left()) {
            // fetchone for as many rows as the fetch still takes from this page:
            // no Python runs in between, so _data stays empty and _state as read.
            const std::size_t n = std::min(page_.count() - next_, static_cast<std::size_t>(size_ - taken));
            out.add(page_, next_, n);
            next_ += n;
            taken += static_cast<long long>(n);
            if (!page_left()) {
                page_.clear();
                next_ = 0;
            }
            continue;
        } else if (PyObject_Length(data.ptr()) > 0) {
            out.add(data.attr("popleft")());
        } else {
            break;  // fetchone returned None
        }
        ++taken;
    }
    sync();
    return out;
}

/// `self._process_response(self._requests_session.get(self._nextUri, **self._requests_kwargs))`
void FetchMany::fetch_more() {
    py::object kwargs = attr_or_empty(cursor_, "_requests_kwargs");
    if (!kwargs || !PyDict_CheckExact(kwargs.ptr())) {
        cursor_.attr("_fetch_more")();
        return;
    }
    py::object get = cursor_.attr("_requests_session").attr("get");
    py::tuple args = py::make_tuple(cursor_.attr("_nextUri"));
    PyObject *copy = PyDict_Copy(kwargs.ptr());
    if (copy == nullptr) {
        throw py::error_already_set();
    }
    py::object call_kwargs = py::reinterpret_steal<py::object>(copy);
    PyObject *got = PyObject_Call(get.ptr(), args.ptr(), call_kwargs.ptr());
    if (got == nullptr) {
        throw py::error_already_set();
    }
    take_page(py::reinterpret_steal<py::object>(got));
}

/// `self._process_response(response)`, natively where process() covers the page.
void FetchMany::take_page(py::handle response) {
    if (!facts_.hold(cursor_) || !process(response)) {
        page_.clear();
        next_ = 0;
        cursor_.attr("_process_response")(response);
    }
}

/// `cursor.execute(sql)`: pyhive's steps one by one, as Cursor.execute takes
/// them for a statement without parameters, up to the answer of the POST,
/// whose page is then taken as fetch_more takes one.
void FetchMany::execute(py::handle sql) {
    py::object props = attr_or_empty(cursor_, "_session_props");
    py::object kwargs = attr_or_empty(cursor_, "_requests_kwargs");
    py::object urlparse = native_ ? facts_.presto_global("urlparse") : py::object();
    py::object logger = native_ ? facts_.presto_global("_logger") : py::object();
    // Only pyhive's and requests' own code runs between these checks and the
    // POST: the logger emits nothing, and the statement and host are strs.
    py::object host = attr_or_empty(cursor_, "_host");
    py::object port = attr_or_empty(cursor_, "_port");
    if (!native_ || !facts_.hold(cursor_) || !facts_.own_post(cursor_) || !props || !PyDict_CheckExact(props.ptr()) ||
        !plain_keywords(kwargs) || !urlparse || !logger || !PyUnicode_CheckExact(sql.ptr()) || !host ||
        !PyUnicode_CheckExact(host.ptr()) || !port || !PyLong_CheckExact(port.ptr()) || facts_.info_enabled()) {
        cursor_.attr("execute")(sql);
        return;
    }
    py::dict headers;
    headers["X-Presto-Catalog"] = cursor_.attr("_catalog");
    headers["X-Presto-Schema"] = cursor_.attr("_schema");
    headers["X-Presto-Source"] = cursor_.attr("_source");
    headers["X-Presto-User"] = cursor_.attr("_username");
    if (PyDict_GET_SIZE(props.ptr()) > 0) {
        py::list pairs;
        for (auto item : py::reinterpret_borrow<py::dict>(props)) {
            pairs.append(py::str("{}={}").attr("format")(item.first, item.second));
        }
        headers["X-Presto-Session"] = py::str(",").attr("join")(pairs);
    }
    cursor_.attr("_reset_state")();
    set_attr(cursor_, "_state", cursor_.attr("_STATE_RUNNING"));
    py::object netloc = py::str("{}:{}").attr("format")(host, port);
    py::object url = urlparse.attr("urlunparse")(
        py::make_tuple(cursor_.attr("_protocol"), netloc, "/v1/statement", py::none(), py::none(), py::none()));
    logger.attr("info")("%s", sql);
    logger.attr("debug")("Headers: %s", headers);
    py::object post = cursor_.attr("_requests_session").attr("post");
    py::dict call_kwargs;
    call_kwargs["data"] = sql.attr("encode")("utf-8");
    call_kwargs["headers"] = headers;
    if (PyDict_Update(call_kwargs.ptr(), kwargs.ptr()) < 0) {
        throw py::error_already_set();
    }
    py::tuple args = py::make_tuple(url);
    PyObject *got = PyObject_Call(post.ptr(), args.ptr(), call_kwargs.ptr());
    if (got == nullptr) {
        throw py::error_already_set();
    }
    take_page(py::reinterpret_steal<py::object>(got));
}

/// _process_response for a page that the parser covers and pyhive neither
/// logs nor converts nor raises on; false, with nothing changed, for the plain call.
bool FetchMany::process(py::handle response) {
    if (!facts_.own_response(response)) {
        return false;
    }
    // if response.status_code != requests.codes.ok: raise OperationalError(...)
    py::object status = response.attr("status_code");
    py::object ok = py::module_::import("requests").attr("codes").attr("ok");
    if (!PyLong_CheckExact(status.ptr()) || !PyLong_CheckExact(ok.ptr()) || !kvrt::eq(status, ok)) {
        return false;
    }
    if (facts_.debug_enabled()) {
        return false;  // _logger.debug("Got response %s", response_json) would format it
    }
    // response_json = response.json(): its content read as json() reads it.
    py::object content = page_content(response);
    if (!PyBytes_CheckExact(content.ptr())) {
        return false;
    }
    const char *text = PyBytes_AS_STRING(content.ptr());
    const Py_ssize_t size = PyBytes_GET_SIZE(content.ptr());
    if (!utf8_encoding(response.attr("encoding"), size)) {
        return false;
    }
    py::object loads = facts_.stdlib_loads();
    long long state = 0;
    PyObject *converters = facts_.converters();
    if (!loads || converters == nullptr || !int_attr(cursor_, "_state", &state) || state != facts_.running) {
        return false;  // the assertion's error, or a json of someone else
    }
    page_.clear();
    next_ = 0;
    auto decline = [&] {
        page_.clear();
        return false;
    };
    if (!fastjson::parse_page(text, size, page_, members_) || members_.find("error") != nullptr) {
        return decline();
    }
    auto member = [&](const char *key) -> py::object {
        const fastjson::Page::Member *found = members_.find(key);
        if (found == nullptr) {
            return py::object();
        }
        return loads(py::bytes(found->value, static_cast<std::size_t>(found->size)));
    };
    py::object next_uri = member("nextUri");
    py::object columns = member("columns");
    py::object id = member("id");
    if (members_.has_data) {
        // assert self._columns; self._process_data(new_data): no column of a converted type
        if (!columns || !PyList_CheckExact(columns.ptr()) || PyList_GET_SIZE(columns.ptr()) == 0) {
            return decline();
        }
        for (py::handle column : columns) {
            if (!PyDict_CheckExact(column.ptr())) {
                return decline();
            }
            PyObject *name = PyDict_GetItemString(column.ptr(), "name");
            PyObject *type = PyDict_GetItemString(column.ptr(), "type");
            py::object base = type != nullptr ? base_type(type) : py::object();
            if (name == nullptr || !base) {
                return decline();
            }
            int converted = PyDict_Contains(converters, base.ptr());
            if (converted < 0) {
                throw py::error_already_set();
            }
            if (converted && page_.count() > 0) {
                return decline();
            }
        }
    }
    // The session headers, read before anything changes.
    py::object headers = response.attr("headers");
    py::object clear;
    py::object set;
    py::str clear_key("X-Presto-Clear-Session");
    py::str set_key("X-Presto-Set-Session");
    if (kvrt::is_true(py::bool_(headers.contains(clear_key)))) {
        clear = headers[clear_key];
    }
    if (kvrt::is_true(py::bool_(headers.contains(set_key)))) {
        set = headers[set_key].attr("split")("=", 1);
        if (!PyList_CheckExact(set.ptr()) || PyList_GET_SIZE(set.ptr()) != 2) {
            return decline();  // the unpacking's error
        }
    }
    // The page's effects, in pyhive's order.
    set_attr(cursor_, "_nextUri", next_uri ? next_uri : py::none());
    set_attr(cursor_, "_columns", columns ? columns : py::none());
    if (id) {
        set_attr(cursor_, "last_query_id", id);
    }
    if (clear) {
        cursor_.attr("_session_props").attr("pop")(clear, py::none());
    }
    if (set) {
        cursor_.attr("_session_props")[py::handle(PyList_GET_ITEM(set.ptr(), 0))] = PyList_GET_ITEM(set.ptr(), 1);
    }
    if (members_.find("nextUri") == nullptr) {
        set_attr(cursor_, "_state", py::int_(facts_.finished));
    }
    return true;
}

}  // namespace sadrel
