// The facts behind the HTTP fast paths.
#include "guards/http_facts.h"

#include "guards/own.h"
#include "guards/releases.h"

namespace sadrel {

bool requests_own(py::handle r, Facts &facts) {
    py::object response = loaded_class("requests.models", "Response");
    if (!exactly(r, response) || !own_method(response, "iter_lines", "requests.models") ||
        !own_method(response, "iter_content", "requests.models") || !bound_own(r, response, "iter_lines") ||
        !bound_own(r, response, "iter_content")) {
        return false;
    }
    return facts.take_class(response);
}

bool steps_allowed(py::handle r, Facts &facts, bool *hands_on_cut, bool whole) {
    py::object raw = attr_or_empty(r, "raw");
    py::object urllib3_response = loaded_class("urllib3.response", "HTTPResponse");
    py::object client_response = loaded_class("http.client", "HTTPResponse");
    const Urllib3Release *release = urllib3_release();
    if (!urllib3_response || !client_response || release == nullptr || !exactly(raw, urllib3_response)) {
        return false;
    }
    *hands_on_cut = release->hands_on_cut;
    for (const char *name : {"stream", "read", "_fp_read", "_decode"}) {
        if (!own_method(urllib3_response, name, "urllib3.response")) {
            return false;
        }
    }
    if (!release->hands_on_cut && !own_method(urllib3_response, "_raw_read", "urllib3.response")) {
        return false;
    }
    for (const char *name : {"read", "readinto", "_close_conn"}) {
        if (!own_method(client_response, name, "http.client")) {
            return false;
        }
    }
    py::object fp = attr_or_empty(raw, "_fp");
    py::object file = fp ? attr_or_empty(fp, "fp") : py::object();
    if (!exactly(fp, client_response) || !exactly(file, loaded_class("_io", "BufferedReader"))) {
        return false;
    }
    py::object chunked = attr_or_empty(raw, "chunked");
    py::object remaining = attr_or_empty(raw, "length_remaining");
    py::object enforce = attr_or_empty(raw, "enforce_content_length");
    py::object decoder = attr_or_empty(raw, "_decoder");
    py::object headers = attr_or_empty(raw, "headers");
    if (!chunked || chunked.ptr() != Py_False || !remaining || !PyLong_CheckExact(remaining.ptr()) ||
        !enforce || (enforce.ptr() != Py_True && !(whole && enforce.ptr() == Py_False)) || !decoder || !decoder.is_none() || !headers) {
        return false;
    }
    py::object coding = headers.attr("get")("content-encoding");
    if (!coding.is_none()) {
        return false;
    }
    // urllib3 2: nothing decoded and waiting.
    py::object waiting = attr_or_empty(raw, "_decoded_buffer");
    if (waiting && py::len(waiting) != 0) {
        return false;
    }
    return facts.take_class(urllib3_response) && facts.take_class(client_response);
}

namespace {

/// The buffered file's socket is the ssl module's own SSLSocket, whose
/// recv_into reads through its own read from its _sslobj (the C type of
/// _ssl, which cannot change), and whose pending tells what that object
/// holds decrypted. Records ssl.SSLSocket and fills `conn.tls`.
bool tls_socket(ChunkedConnection &conn, Facts &facts) {
    py::object ssl_socket = loaded_class("ssl", "SSLSocket");
    py::object ssl_object = loaded_class("_ssl", "_SSLSocket");
    if (!ssl_socket || !ssl_object || !exactly(conn.socket, ssl_socket)) {
        return false;
    }
    for (const char *name : {"recv_into", "read", "pending", "_checkClosed"}) {
        if (!own_method(ssl_socket, name, "ssl")) {
            return false;
        }
    }
    for (const char *name : {"recv_into", "read", "pending"}) {
        if (!bound_own(conn.socket, ssl_socket, name)) {
            return false;
        }
    }
    conn.tls = attr_or_empty(conn.socket, "_sslobj");
    if (!exactly(conn.tls, ssl_object) || !facts.take_class(ssl_socket)) {
        conn.tls = py::object();
        return false;
    }
    return true;
}

}  // namespace

bool chunks_allowed(py::handle r, Facts &facts, ChunkedConnection &conn) {
    conn.fd = -1;
    conn.tls = py::object();
    py::object urllib3_response = loaded_class("urllib3.response", "HTTPResponse");
    py::object client_response = loaded_class("http.client", "HTTPResponse");
    py::object socket_io = loaded_class("socket", "SocketIO");
    py::object socket_type = loaded_class("socket", "socket");
    py::object buffered_reader = loaded_class("_io", "BufferedReader");
    if (urllib3_release() == nullptr || !urllib3_response || !client_response || !socket_io || !socket_type ||
        !buffered_reader) {
        return false;
    }
    for (const char *name : {"stream", "read_chunked", "_update_chunk_length", "_handle_chunk", "_decode",
                             "_init_decoder", "supports_chunked_reads"}) {
        if (!own_method(urllib3_response, name, "urllib3.response")) {
            return false;
        }
    }
    if (!own_method(client_response, "_safe_read", "http.client") || !own_method(socket_io, "readinto", "socket")) {
        return false;
    }
    // r.raw, its http.client response, the buffered file and the socket:
    // each exactly the standard library's or urllib3's class.
    conn.raw = attr_or_empty(r, "raw");
    if (!exactly(conn.raw, urllib3_response)) {
        return false;
    }
    py::object client = attr_or_empty(conn.raw, "_fp");
    conn.file = client ? attr_or_empty(client, "fp") : py::object();
    py::object socket_file = conn.file ? attr_or_empty(conn.file, "raw") : py::object();
    conn.socket = socket_file ? attr_or_empty(socket_file, "_sock") : py::object();
    if (!exactly(client, client_response) || !exactly(conn.file, buffered_reader) ||
        !exactly(socket_file, socket_io)) {
        return false;
    }
    if (!exactly(conn.socket, socket_type)) {
        if (!tls_socket(conn, facts)) {
            return false;
        }
    }
    // Chunked, with nothing to decode: urllib3 hands each chunk's data on.
    py::object chunked = attr_or_empty(conn.raw, "chunked");
    py::object decoder = attr_or_empty(conn.raw, "_decoder");
    py::object headers = attr_or_empty(conn.raw, "headers");
    if (!chunked || chunked.ptr() != Py_True || !decoder || !decoder.is_none() || !headers ||
        !headers.attr("get")("content-encoding").is_none()) {
        return false;
    }
    py::object fd = conn.socket.attr("fileno")();
    if (!PyLong_CheckExact(fd.ptr())) {
        return false;
    }
    long number = PyLong_AsLong(fd.ptr());
    if (number == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (number < 0 || !facts.take_class(urllib3_response) || !facts.take_class(client_response) ||
        !facts.take_class(socket_io) || !facts.take_class(socket_type)) {
        return false;
    }
    conn.fd = static_cast<int>(number);
    return true;
}

bool ended_early(const py::error_already_set &e) {
    py::object error = loaded_class("requests.exceptions", "ChunkedEncodingError");
    py::object incomplete = loaded_class("urllib3.exceptions", "IncompleteRead");
    if (!error || !incomplete || !e.matches(error)) {
        return false;
    }
    py::object args = attr_or_empty(e.value(), "args");
    if (!args || !PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) != 1) {
        return false;
    }
    py::object inner = attr_or_empty(PyTuple_GET_ITEM(args.ptr(), 0), "args");
    if (!inner || !PyTuple_Check(inner.ptr()) || PyTuple_GET_SIZE(inner.ptr()) != 2) {
        return false;
    }
    return exactly(PyTuple_GET_ITEM(inner.ptr(), 1), incomplete);
}

}  // namespace sadrel
