// Lines of JSON arrays into native row values: the module's scanner
// (fastjson::Rows::parse) against simdjson's On-Demand API and yyjson, each
// filling the same store with the same values and declining the same lines.
//
//   python bench/parsers/run.py        (writes the inputs, builds this, runs it)
//
//   parsers LINES_FILE [--passes N] [--block ROWS] [--only NAME,...]
//
// For every parser it prints one JSON object per line: CPU ns per line (best
// of N passes over the whole file, the store cleared every ROWS rows as the
// export clears its block) and the result of comparing its verdict and values,
// line by line, with Rows::parse.
//
// What the libraries do not give, each does here as the module would have to:
//  - a float of at most 15 significant digits is kept as its digits, so the
//    number's text is read again (simdjson: raw_json_token; yyjson: numbers
//    read as raw text, ints converted here too);
//  - ints of 19 digits or more are declined;
//  - a text's `ascii` and `nul` flags are found by a pass over its bytes.
// Both libraries check UTF-8, escapes and surrogate pairs themselves, and
// reject NaN, Infinity, control characters and anything after the array.
#include "export/row_parser.h"

#ifdef WITH_SIMDJSON
#include <simdjson.h>
#define KERNEL_NAME(x) #x
#define KERNEL(x) KERNEL_NAME(x)
#define SIMDJSON_KERNEL KERNEL(SIMDJSON_BUILTIN_IMPLEMENTATION)  // the one On-Demand compiles in
#endif
#ifdef WITH_YYJSON
#include "yyjson.h"
#endif

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

using sadrel::fastjson::Rows;
using sadrel::fastjson::Tag;
using sadrel::fastjson::Value;

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

/// Drops what a parse of one line appended, as Rows::parse does on a decline.
struct Mark {
    Rows &rows;
    std::size_t values, chars;
    explicit Mark(Rows &r) : rows(r), values(r.values_.size()), chars(r.text_.size()) {}
    bool decline() {
        rows.values_.resize(values);
        rows.text_.resize(chars);
        return false;
    }
    bool accept() {
        rows.ends_.push_back(rows.values_.size());
        return true;
    }
};

void put_literal(Rows &rows, Tag tag) {
    Value v;
    v.tag = tag;
    rows.values_.push_back(v);
}

void put_integer(Rows &rows, long long value) {
    Value v;
    v.tag = Tag::integer;
    v.integer = value;
    rows.values_.push_back(v);
}

void put_real(Rows &rows, double value) {
    Value v;
    v.tag = Tag::real;
    v.real = value;
    rows.values_.push_back(v);
}

/// A text already checked as UTF-8, escapes resolved: its flags found here,
/// eight bytes at a time and with memchr.
void put_text(Rows &rows, const char *data, std::size_t size) {
    std::uint64_t high = 0;
    std::size_t k = 0;
    for (; k + 8 <= size; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + k, 8);
        high |= word;
    }
    for (; k < size; ++k) {
        high |= static_cast<unsigned char>(data[k]);
    }
    Value v;
    v.tag = Tag::text;
    v.ascii = (high & 0x8080808080808080ULL) == 0;
    v.nul = size != 0 && std::memchr(data, 0, size) != nullptr;
    v.size = static_cast<unsigned int>(size);
    v.offset = rows.text_.size();
    rows.text_.append(data, size);
    rows.values_.push_back(v);
}

/// A float's text [s, e), already known to follow the JSON grammar: kept as
/// its digits when it has 1 to 15 significant ones and lies between 1e-290
/// and 1e290, else converted as float() converts it; false for the few the
/// scanner declines.
bool put_float(Rows &rows, const char *s, const char *e) {
    const char *p = s;
    const bool negative = *p == '-';
    p += negative;
    const char *int_begin = p;
    while (p < e && is_digit(*p)) {
        ++p;
    }
    const char *int_end = p;
    const char *frac = int_end, *frac_end = int_end;
    if (p < e && *p == '.') {
        frac = ++p;
        while (p < e && is_digit(*p)) {
            ++p;
        }
        frac_end = p;
    }
    // Significant digits: leading zeros of "0.00ddd" and trailing zeros dropped.
    const char *first_int = *int_begin == '0' ? int_end : int_begin;
    int place = static_cast<int>(int_end - first_int);
    const char *first_frac = frac;
    if (first_int == int_end) {
        while (first_frac < frac_end && *first_frac == '0') {
            ++first_frac;
        }
        place = -static_cast<int>(first_frac - frac);
    }
    const char *last_frac = frac_end;
    while (last_frac > first_frac && last_frac[-1] == '0') {
        --last_frac;
    }
    const char *last_int = int_end;
    if (last_frac == first_frac) {
        while (last_int > first_int && last_int[-1] == '0') {
            --last_int;
        }
    }
    const long int_count = (last_frac == first_frac ? last_int : int_end) - first_int;
    const long frac_count = last_frac - first_frac;
    const long count = int_count + frac_count;
    bool decimal = count > 0 && count <= 15;
    if (decimal && p < e) {  // the exponent
        ++p;
        bool minus = false;
        if (*p == '+' || *p == '-') {
            minus = *p == '-';
            ++p;
        }
        int exponent = 0;
        for (; p < e; ++p) {
            if (exponent > 1000) {
                decimal = false;
                break;
            }
            exponent = exponent * 10 + (*p - '0');
        }
        place += minus ? -exponent : exponent;
    }
    if (decimal && place >= -289 && place <= 290) {
        Value v;
        v.tag = Tag::decimal;
        v.negative = negative;
        v.size = (static_cast<unsigned int>(place + 1024) << 8) | static_cast<unsigned int>(count);
        v.offset = rows.text_.size();
        rows.text_.append(first_int, static_cast<std::size_t>(int_count));
        rows.text_.append(first_frac, static_cast<std::size_t>(frac_count));
        rows.values_.push_back(v);
        return true;
    }
    double value = 0;
    auto result = std::from_chars(s, e, value, std::chars_format::general);
    if (result.ec == std::errc() && result.ptr == e) {
        put_real(rows, value);
        return true;
    }
    // Out of a double's range: float()'s own infinity or zero, as the scanner does.
    char buffer[128];
    const std::size_t size = static_cast<std::size_t>(e - s);
    if (size >= sizeof buffer) {
        return false;
    }
    std::memcpy(buffer, s, size);
    buffer[size] = '\0';
    put_real(rows, PyOS_string_to_double(buffer, nullptr, nullptr));
    return true;
}

/// Any JSON number's text [s, e) that the library has checked: an int of up
/// to 18 digits, or a float as put_float keeps it.
bool put_number(Rows &rows, const char *s, const char *e) {
    const char *p = s + (*s == '-');
    const char *digits = p;
    while (p < e && is_digit(*p)) {
        ++p;
    }
    if (p < e) {
        return put_float(rows, s, e);
    }
    if (p - digits > 18) {
        return false;
    }
    long long value = 0;
    for (const char *d = digits; d < p; ++d) {
        value = value * 10 + (*d - '0');
    }
    put_integer(rows, *s == '-' ? -value : value);
    return true;
}

/// The lines of a file, in one buffer with room after its end for simdjson.
struct Lines {
    std::vector<char> data;
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // offset, size
    std::size_t padded_end = 0;

    bool load(const char *path) {
        FILE *f = std::fopen(path, "rb");
        if (f == nullptr) {
            return false;
        }
        std::fseek(f, 0, SEEK_END);
        long size = std::ftell(f);
        std::fseek(f, 0, SEEK_SET);
        data.assign(static_cast<std::size_t>(size) + 128, ' ');
        bool ok = std::fread(data.data(), 1, static_cast<std::size_t>(size), f) == static_cast<std::size_t>(size);
        std::fclose(f);
        std::size_t begin = 0;
        for (std::size_t k = 0; k < static_cast<std::size_t>(size); ++k) {
            if (data[k] == '\n') {
                spans.emplace_back(begin, k - begin);
                begin = k + 1;
            }
        }
        if (begin < static_cast<std::size_t>(size)) {
            spans.emplace_back(begin, static_cast<std::size_t>(size) - begin);
        }
        padded_end = data.size();
        return ok;
    }
};

#ifdef WITH_SIMDJSON
namespace od = simdjson::ondemand;

/// simdjson On-Demand, in place in the lines' buffer (readable padding after
/// every line: the next lines, then the buffer's spare bytes).
struct Simd {
    od::parser parser;
    const Lines *lines = nullptr;

    bool parse(Rows &rows, const char *text, std::size_t size) {
        Mark mark(rows);
        const std::size_t capacity = static_cast<std::size_t>(lines->data.data() + lines->padded_end - text);
        od::document doc;
        if (parser.iterate(text, size, capacity).get(doc)) {
            return mark.decline();
        }
        od::array array;
        if (doc.get_array().get(array)) {
            return mark.decline();
        }
        for (auto item : array) {
            od::value value;
            od::json_type type;
            if (item.get(value) || value.type().get(type)) {
                return mark.decline();
            }
            switch (type) {
            case od::json_type::string: {
                std::string_view s;
                if (value.get_string().get(s)) {
                    return mark.decline();
                }
                put_text(rows, s.data(), s.size());
                break;
            }
            case od::json_type::number: {
                od::number_type kind;
                if (value.get_number_type().get(kind)) {
                    return mark.decline();
                }
                if (kind == od::number_type::signed_integer) {
                    int64_t n;
                    if (value.get_int64().get(n) || n >= 1000000000000000000LL || n <= -1000000000000000000LL) {
                        return mark.decline();  // 19 digits or more
                    }
                    put_integer(rows, n);
                } else if (kind == od::number_type::unsigned_integer) {
                    return mark.decline();
                } else {
                    // The float's own text, which simdjson has not checked
                    // (it also calls ints past uint64 floats).
                    std::string_view raw = value.raw_json_token();
                    const char *s = raw.data();
                    const char *e = s + raw.size();
                    while (e > s && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\n' || e[-1] == '\r')) {
                        --e;
                    }
                    if (!number_grammar(s, e)) {
                        return mark.decline();
                    }
                    if (!put_number(rows, s, e)) {
                        return mark.decline();
                    }
                }
                break;
            }
            case od::json_type::boolean: {
                bool b;
                if (value.get_bool().get(b)) {
                    return mark.decline();
                }
                put_literal(rows, b ? Tag::yes : Tag::no);
                break;
            }
            case od::json_type::null: {
                bool null = false;
                if (value.is_null().get(null) || !null) {
                    return mark.decline();
                }
                put_literal(rows, Tag::null);
                break;
            }
            default:
                return mark.decline();
            }
        }
        // Anything after the array (simdjson 3.0 has no document::at_end).
        const char *rest;
        if (!doc.current_location().get(rest)) {
            return mark.decline();
        }
        return mark.accept();
    }

    /// The library alone: the same walk with its own conversions and nothing
    /// kept, for how fast it could be were the extra work free.
    bool bare(const char *text, std::size_t size) {
        const std::size_t capacity = static_cast<std::size_t>(lines->data.data() + lines->padded_end - text);
        od::document doc;
        od::array array;
        if (parser.iterate(text, size, capacity).get(doc) || doc.get_array().get(array)) {
            return false;
        }
        for (auto item : array) {
            od::value value;
            od::json_type type;
            if (item.get(value) || value.type().get(type)) {
                return false;
            }
            bool error = false;
            switch (type) {
            case od::json_type::string: {
                std::string_view s;
                error = value.get_string().get(s) != simdjson::SUCCESS;
                sink += s.size();
                break;
            }
            case od::json_type::number: {
                od::number n;
                error = value.get_number().get(n) != simdjson::SUCCESS;
                sink += n.is_double() ? static_cast<std::size_t>(n.get_double()) : static_cast<std::size_t>(n.get_int64());
                break;
            }
            case od::json_type::boolean: {
                bool b = false;
                error = value.get_bool().get(b) != simdjson::SUCCESS;
                sink += b;
                break;
            }
            case od::json_type::null: {
                bool null = false;
                error = value.is_null().get(null) != simdjson::SUCCESS || !null;
                break;
            }
            default: return false;
            }
            if (error) {
                return false;
            }
        }
        const char *rest;
        return doc.current_location().get(rest) != simdjson::SUCCESS;
    }
    std::size_t sink = 0;

    /// Whether [s, e) is a JSON number.
    static bool number_grammar(const char *s, const char *e) {
        const char *p = s + (s < e && *s == '-');
        if (p == e || !is_digit(*p)) {
            return false;
        }
        if (*p == '0') {
            ++p;
        } else {
            while (p < e && is_digit(*p)) {
                ++p;
            }
        }
        if (p < e && *p == '.') {
            const char *f = ++p;
            while (p < e && is_digit(*p)) {
                ++p;
            }
            if (p == f) {
                return false;
            }
        }
        if (p < e && (*p == 'e' || *p == 'E')) {
            ++p;
            p += p < e && (*p == '+' || *p == '-');
            const char *x = p;
            while (p < e && is_digit(*p)) {
                ++p;
            }
            if (p == x) {
                return false;
            }
        }
        return p == e;
    }
};
#endif

#ifdef WITH_YYJSON
/// yyjson, numbers read as their text; its documents from a reused pool.
struct Yy {
    std::vector<char> pool;
    yyjson_alc alc;
    bool insitu = false;
    std::vector<char> scratch;  // insitu: the line copied, with zero padding

    explicit Yy(bool in_situ) : insitu(in_situ) {
        pool.resize(1 << 22);
        yyjson_alc_pool_init(&alc, pool.data(), pool.size());
    }

    bool parse(Rows &rows, const char *text, std::size_t size) {
        Mark mark(rows);
        yyjson_read_err err;
        yyjson_doc *doc;
        if (insitu) {
            if (scratch.size() < size + YYJSON_PADDING_SIZE) {
                scratch.resize(size + YYJSON_PADDING_SIZE);
            }
            std::memcpy(scratch.data(), text, size);
            std::memset(scratch.data() + size, 0, YYJSON_PADDING_SIZE);
            doc = yyjson_read_opts(scratch.data(), size, YYJSON_READ_INSITU | YYJSON_READ_NUMBER_AS_RAW, &alc, &err);
        } else {
            doc = yyjson_read_opts(const_cast<char *>(text), size, YYJSON_READ_NUMBER_AS_RAW, &alc, &err);
        }
        if (doc == nullptr) {
            return mark.decline();
        }
        bool ok = fill(rows, yyjson_doc_get_root(doc));
        yyjson_doc_free(doc);
        return ok ? mark.accept() : mark.decline();
    }

    /// The library alone: numbers its own, nothing kept (as Simd::bare).
    bool bare(const char *text, std::size_t size) {
        yyjson_read_err err;
        yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text), size, 0, &alc, &err);
        if (doc == nullptr) {
            return false;
        }
        yyjson_val *root = yyjson_doc_get_root(doc);
        bool ok = yyjson_is_arr(root);
        std::size_t idx, max;
        yyjson_val *v;
        yyjson_arr_foreach(root, idx, max, v) {
            switch (yyjson_get_type(v)) {
            case YYJSON_TYPE_STR: sink += unsafe_yyjson_get_len(v); break;
            case YYJSON_TYPE_NUM: sink += static_cast<std::size_t>(unsafe_yyjson_get_uint(v)); break;
            case YYJSON_TYPE_BOOL: sink += unsafe_yyjson_get_bool(v); break;
            case YYJSON_TYPE_NULL: break;
            default: ok = false;
            }
        }
        yyjson_doc_free(doc);
        return ok;
    }
    std::size_t sink = 0;

    static bool fill(Rows &rows, yyjson_val *root) {
        if (!yyjson_is_arr(root)) {
            return false;
        }
        std::size_t idx, max;
        yyjson_val *v;
        yyjson_arr_foreach(root, idx, max, v) {
            switch (yyjson_get_type(v)) {
            case YYJSON_TYPE_STR: put_text(rows, unsafe_yyjson_get_str(v), unsafe_yyjson_get_len(v)); break;
            case YYJSON_TYPE_RAW: {
                const char *s = unsafe_yyjson_get_raw(v);
                if (!put_number(rows, s, s + unsafe_yyjson_get_len(v))) {
                    return false;
                }
                break;
            }
            case YYJSON_TYPE_BOOL: put_literal(rows, unsafe_yyjson_get_bool(v) ? Tag::yes : Tag::no); break;
            case YYJSON_TYPE_NULL: put_literal(rows, Tag::null); break;
            default: return false;
            }
        }
        return true;
    }
};
#endif

/// Whether two values are the same: the same tag and value; a text's bytes
/// and `nul`, and an `ascii` that is never claimed for a text that is not
/// (the scanner leaves it false for any text with escapes: it is a hint).
bool same(const Rows &a, const Value &x, const Rows &b, const Value &y, std::string *why) {
    if (x.tag != y.tag) {
        *why = "tag " + std::to_string(static_cast<int>(x.tag)) + " vs " + std::to_string(static_cast<int>(y.tag));
        return false;
    }
    switch (x.tag) {
    case Tag::integer:
        if (x.integer != y.integer) {
            *why = "int " + std::to_string(x.integer) + " vs " + std::to_string(y.integer);
            return false;
        }
        return true;
    case Tag::real:
        if (std::memcmp(&x.real, &y.real, sizeof x.real) != 0) {
            char text[80];
            std::snprintf(text, sizeof text, "real %.17g vs %.17g", x.real, y.real);
            *why = text;
            return false;
        }
        return true;
    case Tag::decimal:
        if (x.negative != y.negative || x.size != y.size ||
            std::memcmp(a.text(x), b.text(y), static_cast<std::size_t>(x.digits())) != 0) {
            *why = "decimal " + std::string(a.text(x), x.digits()) + "e" + std::to_string(x.point()) + " vs " +
                   std::string(b.text(y), y.digits()) + "e" + std::to_string(y.point());
            return false;
        }
        return true;
    case Tag::text: {
        if (x.size != y.size || std::memcmp(a.text(x), b.text(y), x.size) != 0 || x.nul != y.nul) {
            *why = "text \"" + std::string(a.text(x), x.size) + "\" vs \"" + std::string(b.text(y), y.size) + "\"";
            return false;
        }
        bool ascii = true;
        for (unsigned int k = 0; k < x.size; ++k) {
            ascii &= static_cast<unsigned char>(a.text(x)[k]) < 0x80;
        }
        if ((x.ascii && !ascii) || (y.ascii && !ascii)) {
            *why = "ascii flag claimed for non-ASCII text";
            return false;
        }
        return true;
    }
    default: return true;
    }
}

using Parse = std::function<bool(Rows &, const char *, std::size_t)>;

struct Parser {
    std::string name;
    Parse parse;
    bool checked = true;  // false: the library alone, which keeps no values
    double best = 1e300;
    std::size_t accepted = 0;
    std::size_t mismatches = 0;
    std::size_t hint_only = 0;  // texts where only the scanner's ascii hint is off
    std::string first;
};

std::string escape_json(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LINES_FILE [--passes N] [--block ROWS] [--only NAME,...]\n", argv[0]);
        return 2;
    }
    int passes = 5;
    std::size_t block = 100000;
    std::string only;
    for (int k = 2; k + 1 < argc; k += 2) {
        std::string option = argv[k];
        if (option == "--passes") {
            passes = std::atoi(argv[k + 1]);
        } else if (option == "--block") {
            block = static_cast<std::size_t>(std::atol(argv[k + 1]));
        } else if (option == "--only") {
            only = "," + std::string(argv[k + 1]) + ",";
        }
    }
    Lines lines;
    if (!lines.load(argv[1])) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    Py_InitializeEx(0);  // the scanner's rare fallbacks call into the interpreter

    std::vector<Parser> parsers;
    parsers.push_back({"korvane", [](Rows &rows, const char *t, std::size_t n) {
                           return rows.parse(t, static_cast<Py_ssize_t>(n));
                       }});
#ifdef WITH_SIMDJSON
    Simd simd;
    simd.lines = &lines;
    parsers.push_back({"simdjson", [&simd](Rows &rows, const char *t, std::size_t n) { return simd.parse(rows, t, n); }});
    parsers.push_back({"simdjson-bare", [&simd](Rows &, const char *t, std::size_t n) { return simd.bare(t, n); }, false});
#endif
#ifdef WITH_YYJSON
    Yy yy(false), yy_insitu(true);
    parsers.push_back({"yyjson", [&yy](Rows &rows, const char *t, std::size_t n) { return yy.parse(rows, t, n); }});
    parsers.push_back(
        {"yyjson-insitu", [&yy_insitu](Rows &rows, const char *t, std::size_t n) { return yy_insitu.parse(rows, t, n); }});
    parsers.push_back({"yyjson-bare", [&yy](Rows &, const char *t, std::size_t n) { return yy.bare(t, n); }, false});
#endif
    if (!only.empty()) {
        std::vector<Parser> kept;
        for (Parser &p : parsers) {
            if (p.name == "korvane" || only.find("," + p.name.substr(0, p.name.find('-')) + ",") != std::string::npos) {
                kept.push_back(std::move(p));
            }
        }
        parsers.swap(kept);
    }

    // Exactness: every line through each parser and through the scanner.
    Rows ours, theirs;
    std::vector<bool> verdict(lines.spans.size());
    for (std::size_t i = 0; i < lines.spans.size(); ++i) {
        const char *text = lines.data.data() + lines.spans[i].first;
        const std::size_t size = lines.spans[i].second;
        ours.clear();
        const bool ok = ours.parse(text, static_cast<Py_ssize_t>(size));
        verdict[i] = ok;
        for (Parser &p : parsers) {
            if (!p.checked) {
                continue;
            }
            theirs.clear();
            const bool other = p.parse(theirs, text, size);
            p.accepted += other;
            std::string why;
            bool equal = ok == other;
            if (!equal) {
                why = ok ? "declined" : "accepted";
            } else if (ok) {
                std::size_t wa = 0, wb = 0;
                const Value *a = ours.row(0, &wa);
                const Value *b = theirs.row(0, &wb);
                equal = wa == wb;
                if (!equal) {
                    why = "width " + std::to_string(wa) + " vs " + std::to_string(wb);
                }
                for (std::size_t k = 0; equal && k < wa; ++k) {
                    equal = same(ours, a[k], theirs, b[k], &why);
                    if (equal && a[k].tag == Tag::text && a[k].ascii != b[k].ascii) {
                        ++p.hint_only;
                    }
                }
            }
            if (!equal) {
                if (p.mismatches++ < 5) {
                    p.first += (p.first.empty() ? "" : "; ") + std::string("line ") + std::to_string(i + 1) + ": " +
                               why + " in " + std::string(text, size < 120 ? size : 120);
                }
            }
        }
    }

    // Timing: passes over the whole file, the parsers taking turns, after
    // one untimed pass that grows the store to a block.
    Rows store;
    for (std::size_t i = 0; i < lines.spans.size() && store.count() < block; ++i) {
        store.parse(lines.data.data() + lines.spans[i].first, static_cast<Py_ssize_t>(lines.spans[i].second));
    }
    for (int pass = 0; pass < passes; ++pass) {
        for (Parser &p : parsers) {
            store.clear();
            const double start = cpu_seconds();
            for (const auto &span : lines.spans) {
                if (store.count() >= block) {
                    store.clear();
                }
                p.parse(store, lines.data.data() + span.first, span.second);
            }
            const double seconds = cpu_seconds() - start;
            p.best = seconds < p.best ? seconds : p.best;
        }
    }

    std::size_t declined = 0;
    for (bool ok : verdict) {
        declined += !ok;
    }
    for (const Parser &p : parsers) {
        std::string kernel;
#ifdef WITH_SIMDJSON
        if (p.name.rfind("simdjson", 0) == 0) {
            // On-Demand's walk is compiled in for the builtin kernel; the
            // library's runtime choice is named beside it.
            kernel = std::string(SIMDJSON_KERNEL) + ", library: " + simdjson::get_active_implementation()->name();
        }
#endif
        std::printf(
            "{\"parser\": \"%s\", \"checked\": %s, \"kernel\": \"%s\", \"lines\": %zu, \"declined_by_scanner\": %zu, "
            "\"accepted\": %zu, \"ns_per_line\": %.1f, \"mismatches\": %zu, \"ascii_hint_only\": %zu, "
            "\"first\": \"%s\"}\n",
            p.name.c_str(), p.checked ? "true" : "false", kernel.c_str(), lines.spans.size(), declined, p.accepted,
            p.best * 1e9 / lines.spans.size(), p.mismatches, p.hint_only, escape_json(p.first).c_str());
    }
    return 0;
}
