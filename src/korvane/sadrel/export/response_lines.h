// The lines of a streamed response, as `r.iter_lines(chunk_size=...)` yields
// them, split natively from the pieces of the response's own
// `r.iter_content(chunk_size=...)`: decoding, chunked framing, the
// Content-Length check, time-outs and their errors stay requests' and
// urllib3's. Where a guard fails, the lines are the plain call's own.
#pragma once

#include "export/chunk_taker.h"
#include "kvrt.h"

#include <string>

namespace sadrel {

/// One line: a span of bytes, or (from the plain call) the object itself.
struct Line {
    py::object object;
    const char *data = nullptr;
    Py_ssize_t size = 0;
    /// Python code may have run since the line before (a piece was read).
    bool after_read = true;

    /// `not row`
    bool empty() const { return object ? !kvrt::is_true(object) : size == 0; }
    /// The line as iter_lines gives it (a new bytes object for a span).
    py::object bytes() const;
};

/// `r.iter_lines(chunk_size=chunk_size)`.
///
/// iter_lines splits each piece with bytes.splitlines() and carries a line
/// without its end over to the next piece. Across the whole body that is a
/// split at "\n", "\r" and "\r\n", except where a "\r\n" pair straddles two
/// pieces: it then ends its line and makes one more, empty line. The export
/// skips empty lines without a trace, so the lines it sees do not depend on
/// where the pieces end, and this reader splits the body as a whole.
///
/// Where the pieces end shows only when reading fails: a piece is read whole
/// before any of its lines is handed on. A chunked body comes in pieces of
/// its chunks (at most chunk_size each), read here as they are. A body of
/// known length without content coding comes in pieces of chunk_size bytes,
/// which this reader takes in steps of 1 MiB to keep memory flat: while the
/// piece of the line at hand is not read whole, `deferring()` is true, and
/// the listener is told when it is (`piece_done`) or when reading it failed
/// (`piece_lost`), so that effects can wait for that and be dropped then;
/// `piece_begun` comes before the first read of each piece.
class ResponseLines {
public:
    struct Listener {
        virtual void piece_begun() = 0;
        virtual void piece_done() = 0;
        virtual void piece_lost() = 0;
    };

    /// `small_steps`: whether a body of known length may be read in steps.
    ResponseLines(const kvrt::Globals &g, py::handle r, long long chunk_size, bool small_steps);

    /// The next line, empty ones included; false at the end of the body.
    bool next(Line &line);

    /// Whether the effects of the lines handed on must wait for `piece_done`.
    bool deferring() const { return stepping_ && !piece_read_; }

    /// Before the loop is left early (an error, the SQL error exit): reads
    /// the rest of the piece at hand, and drops it, as the plain call has
    /// read it by then. A read error raised there stands for the reason the
    /// loop was to be left.
    void settle();

    void listen(Listener *listener) { listener_ = listener; }

    /// Whether the lines are split here (false: the plain call's own).
    bool native() const { return !plain_; }

private:
    bool read_piece();
    bool piece_read(const char *data, Py_ssize_t size);

    py::object plain_;   // iterator of r.iter_lines(chunk_size=...), where a guard failed
    py::object pieces_;  // iterator of r.iter_content(chunk_size=...)
    long long chunk_size_;
    long long step_;     // bytes asked for per read
    bool stepping_ = false;
    bool hands_on_cut_ = false;  // urllib3 hands on what a read got before the data ended
    bool piece_read_ = true;  // the piece of the lines at hand has been read whole
    bool failed_ = false;
    bool ended_ = false;
    long long offset_ = 0;    // bytes of body read so far
    py::object piece_;        // the bytes object read last
    BufferedChunks chunks_;   // a chunked body's whole chunks, taken from the connection's buffer
    bool taking_ = false;     // ... where they may be
    std::string taken_;       // the chunks taken last, as one piece
    const char *data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t pos_ = 0;
    bool skip_lf_ = false;    // the last piece ended in "\r"
    std::string carry_;       // the start of a line that goes on in the next piece
    std::string joined_;      // a line made of pieces, as handed on
    Listener *listener_ = nullptr;
};

}  // namespace sadrel
