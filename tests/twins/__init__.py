"""ThinkDataQuery twice, the native module and its plain-Python twin
(`twins.sadrel`), and the one comparison of what an export does with each:
the file byte for byte, every BMOBJ call, the error (type, arguments and
chain) and the warnings."""
import contextlib
import gc
import os
import re
import warnings

IMPLS = ("twin", "native")


def load(impl):
    """The module of ``impl``: "twin" or "native"."""
    if impl == "native":
        import korvane.sadrel.sadrel as module
    else:
        from twins import sadrel as module
    return module


class Recorder(object):
    """Stands in for BMOBJ: records every call as (method, args), then does
    what the real object does."""

    def __init__(self, real):
        self.real = real
        self.calls = []

    def __getattr__(self, name):
        target = getattr(self.real, name)

        def record(*args):
            self.calls.append((name,) + args)
            return target(*args)

        return record

    def of(self, *names):
        return [c for c in self.calls if c[0] in names]


ADDRESS = re.compile(r"0x[0-9a-fA-F]+")


def described(value):
    """``value`` in a form that compares by type as well (3, 3.0 and True
    differ): an exception by its type, arguments and chain, an object of
    another kind by its type alone."""
    if isinstance(value, BaseException):
        context = None if value.__suppress_context__ else described(value.__context__)
        return ("raised", type(value), described(value.args), described(value.__cause__), context)
    if isinstance(value, str):
        return (type(value), ADDRESS.sub("0x?", value))
    if value is None or isinstance(value, (bool, int, float, bytes)):
        return (type(value), value)
    if isinstance(value, (list, tuple)):
        return (type(value), [described(v) for v in value])
    if isinstance(value, dict):
        return (type(value), [(described(k), described(v)) for k, v in value.items()])
    return ("object", type(value))


def contents(path):
    with open(path, "rb") as f:
        return f.read()


class Outcome(object):
    """What one export did. ``key`` is what is compared: not ResourceWarnings,
    which the cyclic collector emits for whichever earlier export's sockets
    it happens to free during this one."""

    def __init__(self, returned, error, content, calls, caught, left):
        self.returned, self.error, self.content, self.calls, self.left = returned, error, content, calls, left
        self.key = (described(returned), described(error), content, [described(c) for c in calls],
                    sorted((w.category.__name__, ADDRESS.sub("0x?", str(w.message))) for w in caught
                           if not issubclass(w.category, ResourceWarning)), left)

    def of(self, *names):
        return [c for c in self.calls if c[0] in names]

    @property
    def clogs(self):
        return [c[2] if len(c) == 3 else c[2:] for c in self.of("clog")]


def outcome(module, export, directory, name="export.csv", read=contents):
    """``export(Query)`` with a subclass of ``module.ThinkDataQuery`` whose
    exports go to ``directory``/``name`` (``Query.module`` is ``module``),
    with ``module.BMOBJ`` recorded. Removes the file that it returned and
    notes any other left in ``directory``."""
    path = os.path.join(directory, name)

    class Query(module.ThinkDataQuery):
        def gen_local_unique_file(self, ext="csv"):
            return path

    Query.module = module
    real = module.BMOBJ
    module.BMOBJ = recorder = Recorder(real)
    returned = error = content = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            returned = export(Query)
        except Exception as e:
            error = e
        finally:
            module.BMOBJ = real
        if error is not None:
            # The frames of a failed export hold its response, whose socket
            # is still open: let them go now, inside the recording, rather
            # than at whatever later test the collector frees them in.
            cause, seen = error, []
            while cause is not None and all(cause is not c for c in seen):
                seen.append(cause)
                cause.__traceback__ = None
                cause = cause.__cause__ or cause.__context__
            gc.collect()
    if isinstance(returned, str) and os.path.exists(returned):
        content = read(returned)
        os.remove(returned)
    left = sorted(os.listdir(directory)) if os.path.isdir(directory) else None
    for leftover in left or ():
        os.remove(os.path.join(directory, leftover))
    return Outcome(returned, error, content, recorder.calls, caught, left)


def differ(export, directory, native_context=contextlib.nullcontext, **options):
    """``export(Query)`` with the twin, then with the native module (inside
    ``native_context()``): both must do the same. Returns the native outcome."""
    twin = outcome(load("twin"), export, directory, **options)
    with native_context():
        native = outcome(load("native"), export, directory, **options)
    assert native.key == twin.key
    return native
