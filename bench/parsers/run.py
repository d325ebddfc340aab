"""The module's row scanner against simdjson On-Demand and yyjson, into native values.

    python bench/parsers/run.py                 # 1,000,000 rows, 5 passes
    python bench/parsers/run.py --rows 200000 --passes 3 --json bench/parsers/results.json

Writes three inputs into a scratch directory, builds ``parsers.cpp`` with the
module's own flags (CMake's Release: -O3 -DNDEBUG, C++17, no -march) together
with ``row_parser.cpp``, runs it on each input and prints a table:

- ``rows``: the benchmark's rows (bench/export_bench.py ``encoded_lines``),
  as the OpenAPI emulator sends them: UTF-8, only quotes, backslashes and
  control characters escaped;
- ``escaped``: the same rows with every non-ASCII character escaped
  (``json.dumps``' default), so that most texts hold escapes;
- ``edges``: a fixed set of boundary lines (each verdict and value the
  scanner has a rule for) and seeded one-byte mutations of rows; it is for
  the exactness check, its timing means little.

simdjson comes from Debian's libsimdjson-dev (/usr/include/simdjson.h);
yyjson from the sources its PyPI package ships, unpacked outside the
repository: ``--yyjson DIR`` (the directory holding yyjson.c), else looked
for under the scratch directory, else fetched there with
``pip download --no-binary :all: --no-deps yyjson``. A parser whose library
or sources are missing is skipped, with the reason.

simdjson's On-Demand walk is compiled into the program for the kernel the
compiler may assume (``fallback`` without -march), while the shared
library's stage 1 and string unescaping pick theirs at run time (icelake on
an AVX-512 machine); ``--march haswell`` adds rows for the walk built for
AVX2 too. The ``-bare`` rows are each library alone, walking the same values
with its own conversions and keeping nothing: no integration can beat them.
"""
import argparse
import glob
import json
import os
import random
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "bench"))
sys.path.insert(0, os.path.join(ROOT, "src"))

FLAGS = ["-O3", "-DNDEBUG"]  # CMAKE_CXX_FLAGS_RELEASE, the module's build type
NICE = ["nice", "-n", "10"]


# ---- inputs ------------------------------------------------------------------------

def rows_lines(rows):
    from export_bench import encoded_lines

    return encoded_lines(rows)[1:]  # the status line is no row


def escaped_lines(rows):
    from korvane.testing.data import sample_rows

    dumps = json.JSONEncoder(separators=(",", ":")).encode  # ensure_ascii
    return [dumps(row).encode("ascii") for row in sample_rows(rows)]


EDGE_TEXTS = [
    # accepted: each kind of value and its bounds
    "[]", " [ ] ", "\t[1 ,\r 2 ]\r", "[1]", "[0]", "[-0]", "[123456789012345678]", "[-123456789012345678]",
    "[1.5]", "[-1.5e3]", "[1E5]", "[1e+5]", "[1e-5]", "[0.0]", "[-0.0]", "[0e0]", "[0.000001]",
    "[1.23456789012345]", "[1.234567890123456]", "[123456789012345678.0]", "[1.000000000000000000001]",
    "[12300000000000000000000.0]", "[100e-2]", "[0.10]", "[1e290]", "[1e291]", "[1e-289]", "[1e-290]",
    "[1e289]", "[5.5e289]", "[1e-291]", "[-9.5e-291]", "[1e400]", "[-1e400]", "[1e-400]", "[4.9e-324]", "[1.7976931348623157e308]", "[1.7976931348623159e308]",
    "[2.2250738585072011e-308]", "[1e0000000000005]", "[9007199254740993.0]", "[0.1e1]", "[123.456e-2]",
    "[true,false,null]", '["a"]', '[""]', '["\\u0000"]', '["a\\u0000b"]', '["a\\"b\\\\c\\/d\\b\\f\\n\\r\\t"]',
    '["\\u00e9"]', '["\\u00E9"]', '["é"]', '["\\ud83d\\ude00"]', '["\\uD83D\\uDE00"]', '["😀"]', '["\\u20ac€"]',
    '["\\u0041"]', '["\x7f"]', '["\U0010ffff"]', '["\\udbff\\udfff"]', '[1,"x",2.5,null,true]',
    '["%s"]' % ("long " * 400), "[%s]" % ",".join(str(n) for n in range(300)),
    "[0.%s1]" % ("0" * 150), "[1%s]" % (".0" + "1" * 130), "[1.5%se2]" % ("0" * 140),
    # declined: not an array of scalars, or malformed
    "", " ", "1", '"a"', "{}", '{"a":1}', "[[1]]", "[{}]", "[1,[]]", "[1,]", "[,1]", "[1 2]", "[1]]", "[1] [2]",
    "[1] x", "[", "[1", "[1,", '["a]', '["a', "[01]", "[-01]", "[1.]", "[.5]", "[-]", "[+1]", "[1e]", "[1e+]",
    "[-a]", "[1.5.2]", "[1e5e5]", "[0x10]", "[NaN]", "[Infinity]", "[-Infinity]", "[nan]", "[inf]", "[tru]",
    "[True]", "[nul]", "[nulll]", "[truefalse]", "[null,]", "[1,,2]",
    # declined: what the module leaves to json.loads
    "[1234567890123456789]", "[-1234567890123456789]", "[1000000000000000000]", "[-1000000000000000000]",
    "[9223372036854775807]", "[-9223372036854775808]", "[9223372036854775808]", "[18446744073709551615]",
    "[18446744073709551616]", "[99999999999999999999]", "[%s]" % ("9" * 400),
    '["\\ud800"]', '["\\udc00"]', '["\\ud800\\u0041"]', '["\\ud800x"]', '["\\udc00\\ud800"]', '["\\ud800\\ud800"]',
    '["\\ud800\\"]', '["a\tb"]', '["\x1f"]', '["\\q"]', '["\\u12"]', '["\\u12G4"]', '["\\x41"]', '["\\U0041"]',
    "[1%se400]" % ("0" * 200),
]
EDGE_BYTES = [
    b"\xef\xbb\xbf[1]", b"\xef\xbb\xbf[]", b"[1]\x00", b"\x00[1]", b'["a\x00b"]', b"[1,\x002]",
    b'["\x80"]', b'["\xff"]', b'["\xc0\xaf"]', b'["\xc1\xbf"]', b'["\xe0\x80\xaf"]', b'["\xed\xa0\x80"]',
    b'["\xed\xbf\xbf"]', b'["\xf4\x90\x80\x80"]', b'["\xf5\x80\x80\x80"]', b'["\xe2\x82"]', b'["\xe2\x82"',
    b'["\xc3"]', b'["a\xc3"]', b'["\xf0\x9f\x98"]', b"[1]\xc3\xa9", b"[\xc3\xa9]",
    b'["\\u00e9\xc3"]', b'["\\n\xed\xa0\x80"]',
]
MUTANT_BYTES = b'[]{},:"\\ 019-+.eEntfulr\x00\x7f\x80\xbf\xc3\xa9\xed\xf0\xff\t'


def edge_lines(mutants, seed=11):
    lines = [text.encode("utf-8") for text in EDGE_TEXTS] + EDGE_BYTES
    # A float whose leading zeros cancel a long exponent: the scanner's exponent bound.
    lines += [b"[0.%s1e10000]" % (b"0" * 9900), b"[0.%s1e12000]" % (b"0" * 11900)]
    rnd = random.Random(seed)
    rows = rows_lines(500) + escaped_lines(500)
    for _ in range(mutants):
        line = bytearray(rnd.choice(rows))
        for _ in range(rnd.choice((1, 1, 1, 2))):
            at = rnd.randrange(len(line) + 1)
            how = rnd.randrange(3)
            if how == 0 and at < len(line):
                del line[at]
            elif how == 1 and at < len(line):
                line[at] = rnd.choice(MUTANT_BYTES)
            else:
                line.insert(at, rnd.choice(MUTANT_BYTES))
        lines.append(bytes(line))
    return [line for line in lines if b"\n" not in line]


def write_lines(path, lines):
    with open(path, "wb") as f:
        f.write(b"\n".join(lines) + b"\n")


# ---- building ----------------------------------------------------------------------

def find_yyjson(wanted, scratch):
    """The directory holding yyjson.c and yyjson.h, or a reason why there is none."""
    if wanted:
        return (wanted, None) if os.path.exists(os.path.join(wanted, "yyjson.c")) else (None, "no yyjson.c in " + wanted)
    found = glob.glob(os.path.join(scratch, "yyjson-*", "yyjson", "yyjson.c"))
    if not found:
        download = subprocess.run(
            [sys.executable, "-m", "pip", "download", "--no-binary", ":all:", "--no-deps", "-q", "-d", scratch, "yyjson"],
            capture_output=True, text=True)
        archives = glob.glob(os.path.join(scratch, "yyjson-*.tar.gz"))
        if download.returncode != 0 or not archives:
            return None, "pip download of the yyjson sdist failed: " + (download.stderr.strip().splitlines() or ["?"])[-1]
        subprocess.run(["tar", "xzf", archives[0], "-C", scratch], check=True)
        found = glob.glob(os.path.join(scratch, "yyjson-*", "yyjson", "yyjson.c"))
    if not found:
        return None, "the yyjson sdist holds no yyjson/yyjson.c"
    return os.path.dirname(found[0]), None


def yyjson_version(directory):
    with open(os.path.join(directory, "yyjson.h")) as f:
        for line in f:
            if line.startswith("#define YYJSON_VERSION_STRING"):
                return line.split()[-1].strip('"')
    return "?"


def build(out, yyjson_dir, simdjson, march=None):
    """Builds the program into `out`; returns its path."""
    python = sysconfig.get_paths()["include"]
    libdir = sysconfig.get_config_var("LIBDIR")
    ldlibrary = "python%s%s" % (sysconfig.get_python_version(), getattr(sys, "abiflags", ""))
    command = NICE + ["g++"] + FLAGS + ["-std=c++17", "-Wall", "-Wextra", "-Wno-missing-field-initializers",
                                        "-I" + python, "-I" + os.path.join(ROOT, "src", "korvane", "sadrel")]
    if march:
        command.append("-march=" + march)
    sources = [os.path.join(HERE, "parsers.cpp"), os.path.join(ROOT, "src", "korvane", "sadrel", "export", "row_parser.cpp")]
    libs = []
    if simdjson:
        command.append("-DWITH_SIMDJSON")
        libs.append("-lsimdjson")
    if yyjson_dir:
        obj = os.path.join(out, "yyjson.o")
        subprocess.run(NICE + ["gcc"] + FLAGS + ["-c", os.path.join(yyjson_dir, "yyjson.c"), "-o", obj], check=True)
        command += ["-DWITH_YYJSON", "-I" + yyjson_dir]
        sources.append(obj)
    program = os.path.join(out, "parsers" + ("-" + march if march else ""))
    command += sources + ["-o", program] + libs + ["-L" + libdir, "-l" + ldlibrary, "-Wl,-rpath," + libdir]
    subprocess.run(command, check=True)
    return program


def run(program, path, passes, only=None):
    command = NICE + [program, path, "--passes", str(passes)]
    if only:
        command += ["--only", only]
    done = subprocess.run(command, check=True, capture_output=True, text=True)
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


# ---- the table ---------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000000)
    parser.add_argument("--passes", type=int, default=5)
    parser.add_argument("--mutants", type=int, default=50000)
    parser.add_argument("--scratch", default=os.path.join(tempfile.gettempdir(), "korvane-parsers"),
                        help="where inputs, downloads and builds go (outside the repository)")
    parser.add_argument("--yyjson", help="a directory holding yyjson.c and yyjson.h")
    parser.add_argument("--march", help="also build simdjson for this -march (e.g. haswell)")
    parser.add_argument("--json", help="write the results here")
    args = parser.parse_args()
    os.makedirs(args.scratch, exist_ok=True)

    skipped = []
    simdjson = os.path.exists("/usr/include/simdjson.h") and bool(glob.glob("/usr/lib/*/libsimdjson.so*"))
    if not simdjson:
        skipped.append(("simdjson", "no /usr/include/simdjson.h or libsimdjson.so (apt-get install libsimdjson-dev)"))
    yyjson_dir, why = find_yyjson(args.yyjson, args.scratch)
    if why:
        skipped.append(("yyjson", why))
    for name, reason in skipped:
        print("skipping %s: %s" % (name, reason))

    inputs = [("rows", rows_lines(args.rows)), ("escaped", escaped_lines(args.rows)), ("edges", edge_lines(args.mutants))]
    paths = {}
    for name, lines in inputs:
        paths[name] = os.path.join(args.scratch, name + ".jsonl")
        write_lines(paths[name], lines)
    del inputs

    program = build(args.scratch, yyjson_dir, simdjson)
    extra = build(args.scratch, None, True, args.march) if args.march and simdjson else None
    results = {}
    for name in ("rows", "escaped", "edges"):
        passes = args.passes if name != "edges" else 1
        results[name] = run(program, paths[name], passes)
        if extra:
            for entry in run(extra, paths[name], passes, only="simdjson"):
                if entry["parser"] != "korvane":
                    entry["parser"] += ", -march=" + args.march
                    results[name].append(entry)

    print()
    print("CPU ns per line, best of %d passes over %s rows; speed-up = korvane's time / the parser's;"
          % (args.passes, format(args.rows, ",")))
    print("mismatches: lines whose verdict or values differ from korvane's Rows::parse (-: keeps no values)")
    print("%-30s %9s %8s %9s %8s   %s" % ("parser", "rows", "speed-up", "escaped", "speed-up",
                                         "mismatches rows / escaped / edges"))
    base = {name: results[name][0]["ns_per_line"] for name in results}
    for entry in results["rows"]:
        cells = {name: next(e for e in results[name] if e["parser"] == entry["parser"]) for name in results}
        label = entry["parser"]
        checks = " / ".join(str(cells[name]["mismatches"]) for name in results) if entry["checked"] else "-"
        print("%-30s %9.1f %7.2fx %9.1f %7.2fx   %s" % (
            label, cells["rows"]["ns_per_line"], base["rows"] / cells["rows"]["ns_per_line"],
            cells["escaped"]["ns_per_line"], base["escaped"] / cells["escaped"]["ns_per_line"], checks))
    edges = results["edges"][0]
    print("edges: %d lines (%d fixed, the rest mutated rows), %d declined by the scanner"
          % (edges["lines"], len(EDGE_TEXTS) + len(EDGE_BYTES) + 2, edges["declined_by_scanner"]))
    for name in results:
        for entry in results[name]:
            if entry["first"]:
                print("  %s, %s: %s" % (entry["parser"], name, entry["first"]))
    kernels = sorted({"%s: %s" % (e["parser"], e["kernel"]) for e in results["rows"] if e["kernel"] and "bare" not in e["parser"]})
    if kernels:
        print("simdjson kernels (On-Demand's walk, the library's own choice): " + "; ".join(kernels))
    hints = {name: max(e["ascii_hint_only"] for e in results[name]) for name in results}
    if any(hints.values()):
        print("texts with escapes, all ASCII, that the scanner alone leaves unmarked as ASCII (a hint, not a value): "
              + ", ".join("%s %d" % item for item in hints.items()))
    if args.json:
        meta = {"rows": args.rows, "passes": args.passes, "flags": FLAGS, "skipped": skipped,
                "yyjson": yyjson_dir and yyjson_version(yyjson_dir), "python": sys.version.split()[0]}
        with open(args.json, "w") as f:
            json.dump({"meta": meta, "results": results}, f, indent=1)
            f.write("\n")
    return 0 if all(e["mismatches"] == 0 for r in results.values() for e in r) else 1


if __name__ == "__main__":
    sys.exit(main())
