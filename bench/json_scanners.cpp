// Rows of scalars into Python lists: korvane's own scanner against simdjson's
// On-Demand parser doing the same job. Both build the same objects (str from
// UTF-8, int, float, True, False, None); simdjson is tried with its own float
// conversion and with float()'s conversion of the number's text.
//
//   bash bench/json_scanners.sh            (builds this and runs it)
//
// Prints ns per line for each and checks that all three give equal lists.
#include <Python.h>

#include <simdjson.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "export/row_parser.h"

namespace {

PyObject *simd_value(simdjson::ondemand::value value, bool own_floats) {
    using simdjson::ondemand::json_type;
    switch (value.type().value()) {
    case json_type::string: {
        std::string_view text = value.get_string().value();
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    case json_type::boolean: {
        PyObject *b = value.get_bool().value() ? Py_True : Py_False;
        Py_INCREF(b);
        return b;
    }
    case json_type::null:
        Py_INCREF(Py_None);
        return Py_None;
    case json_type::number: {
        simdjson::ondemand::number_type kind = value.get_number_type().value();
        if (kind == simdjson::ondemand::number_type::signed_integer) {
            return PyLong_FromLongLong(value.get_int64().value());
        }
        if (own_floats) {
            return PyFloat_FromDouble(value.get_double().value());
        }
        std::string_view raw = value.raw_json_token();
        while (!raw.empty() && (raw.back() == ' ' || raw.back() == '\t')) {
            raw.remove_suffix(1);
        }
        std::string text(raw);
        return PyFloat_FromDouble(PyOS_string_to_double(text.c_str(), nullptr, nullptr));
    }
    default:
        return nullptr;
    }
}

PyObject *simd_parse_or_throw(simdjson::ondemand::parser &parser, std::string &buffer, const char *line,
                              size_t size, bool own_floats) {
    buffer.assign(line, size);
    buffer.resize(size + simdjson::SIMDJSON_PADDING);
    simdjson::ondemand::document doc;
    if (parser.iterate(buffer.data(), size, buffer.size()).get(doc)) {
        return nullptr;
    }
    simdjson::ondemand::array array;
    if (doc.get_array().get(array)) {
        return nullptr;
    }
    PyObject *list = PyList_New(0);
    for (auto item : array) {
        simdjson::ondemand::value value;
        if (item.get(value)) {
            Py_DECREF(list);
            return nullptr;
        }
        PyObject *object = simd_value(value, own_floats);
        if (object == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_Append(list, object);
        Py_DECREF(object);
    }
    return list;
}

/// A new list, or nullptr for any line that is not an array of scalars.
PyObject *simd_parse(simdjson::ondemand::parser &parser, std::string &buffer, const char *line, size_t size,
                     bool own_floats) {
    try {
        return simd_parse_or_throw(parser, buffer, line, size, own_floats);
    } catch (const simdjson::simdjson_error &) {
        return nullptr;
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LINES_FILE [ROUNDS]\n", argv[0]);
        return 2;
    }
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    std::ifstream in(argv[1]);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    Py_Initialize();
    simdjson::ondemand::parser parser;
    std::string buffer;
    using clock = std::chrono::steady_clock;
    double best[3] = {1e30, 1e30, 1e30};
    size_t mismatches = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int kind = 0; kind < 3; ++kind) {
            std::vector<PyObject *> out;
            out.reserve(lines.size());
            auto start = clock::now();
            for (const std::string &line : lines) {
                if (kind == 0) {
                    out.push_back(sadrel::fastjson::parse_scalar_array(line.data(), static_cast<Py_ssize_t>(line.size())));
                } else {
                    out.push_back(simd_parse(parser, buffer, line.data(), line.size(), kind == 1));
                }
            }
            double ns = std::chrono::duration<double, std::nano>(clock::now() - start).count() / lines.size();
            best[kind] = ns < best[kind] ? ns : best[kind];
            if (round == 0 && kind == 0) {
                for (size_t k = 0; k < out.size(); ++k) {
                    PyObject *other = simd_parse(parser, buffer, lines[k].data(), lines[k].size(), false);
                    if (out[k] == nullptr || other == nullptr || PyObject_RichCompareBool(out[k], other, Py_EQ) != 1) {
                        ++mismatches;
                    }
                    Py_XDECREF(other);
                }
            }
            for (PyObject *o : out) {
                Py_XDECREF(o);
            }
        }
    }
    std::printf("%zu lines, best of %d rounds, ns per line (parse and build the list, then free it)\n",
                lines.size(), rounds);
    std::printf("  korvane scanner                         %7.1f\n", best[0]);
    std::printf("  simdjson On-Demand, its own floats      %7.1f\n", best[1]);
    std::printf("  simdjson On-Demand, float()'s floats    %7.1f\n", best[2]);
    std::printf("  lines where the scanner and simdjson differ: %zu\n", mismatches);
    Py_Finalize();
    return 0;
}
