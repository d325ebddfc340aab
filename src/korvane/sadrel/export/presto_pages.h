// The stand-in for pyhive's fetch loop: Presto's result pages parsed natively, their rows handed on as native values.
#pragma once

#include "export/row_parser.h"
#include "guards/pyhive_facts.h"
#include "kvrt.h"

#include <vector>

namespace sadrel {

/// One row of a fetch: a Python object (pyhive's tuple, or whatever a
/// plain fetchmany gave) or a row of native values.
struct FetchedRow {
    py::handle object;
    const fastjson::Rows *rows = nullptr;
    std::size_t r = 0;
    /// `bool(row)`: a native row is a tuple, true when it has a value.
    explicit operator bool() const;
};

/// What one `cursor.fetchmany(fetch_size)` gave: the object it returned
/// (the plain call), or the rows in order, natively where they can be.
class Fetched {
public:
    Fetched() = default;
    explicit Fetched(py::object plain) : plain_(std::move(plain)), is_plain_(true) {}

    /// `bool(rows)`
    explicit operator bool() const;

    /// `for row in rows`
    class iterator {
    public:
        iterator(const Fetched &rows, std::size_t k, py::object it);
        FetchedRow operator*() const { return row_; }
        iterator &operator++();
        bool operator!=(const iterator &other) const { return k_ != other.k_; }

    private:
        void load();
        const Fetched &rows_;
        std::size_t k_;
        py::object it_;    // the plain object's iterator
        py::object held_;  // its current row
        FetchedRow row_;
    };
    iterator begin() const;
    iterator end() const;

    // Filled by FetchMany.
    void add(py::object row);
    void add(const fastjson::Rows &page, std::size_t r, std::size_t n);  // rows r to r + n - 1

private:
    static constexpr std::size_t kDone = static_cast<std::size_t>(-1);
    py::object plain_;
    bool is_plain_ = false;
    std::vector<long long> order_;    // >= 0: a native row; < 0: objects_[-1 - k]
    std::vector<py::object> objects_;
    fastjson::Rows native_;
};

/// `cursor.fetchmany(fetch_size)` for one export. While the facts of
/// PyhiveFacts hold, it does what pyhive's fetchmany does (fetchone up to
/// `fetch_size` times, each through _fetch_while, _fetch_more with
/// requests' own `self._requests_session.get(self._nextUri,
/// **self._requests_kwargs)`, and _process_response), except that a page
/// that the row parser covers is not decoded into Python objects: its rows
/// stay native values until the blocks write them. The cursor's state is
/// pyhive's after every page (_state, _nextUri, _columns, last_query_id,
/// _session_props) and whenever Python code may run (_rownumber); the rows
/// of the page at hand are not in _data, but are put there before any
/// plain call. A page goes the plain way (`self._process_response`) where
/// pyhive would log it, raise, convert a value (TYPES_CONVERTER), or where
/// it holds anything the parser leaves to json.loads; once a fact fails,
/// every call from then on is the plain one.
class FetchMany {
public:
    FetchMany(const kvrt::Globals &g, py::handle cursor, py::handle fetch_size);
    /// `cursor.execute(sql)`, its answer's page taken as the pages after it.
    void execute(py::handle sql);
    Fetched operator()();

private:
    Fetched plain();
    void fetch_more();
    void take_page(py::handle response);
    bool process(py::handle response);
    void put_back();
    bool page_left() const { return next_ < page_.count(); }

    const kvrt::Globals &g_;
    py::handle cursor_;
    py::handle fetch_size_;
    long long size_ = -1;
    bool native_ = false;
    PyhiveFacts facts_;
    fastjson::Rows page_;  // the rows of the page at hand
    std::size_t next_ = 0;  // the first not yet handed on
    fastjson::Page members_;
    py::object deque_type_;
};

}  // namespace sadrel
