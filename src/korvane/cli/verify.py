"""--cacert: the OpenAPI route's sessions check the endpoint's certificate against a CA file."""
import contextlib
import types


def _verifying_requests(requests, cafile):
    """A stand-in for the module ``requests`` whose ``session()`` checks
    certificates against ``cafile``; everything else is requests' own."""

    class VerifyingSession(requests.Session):
        def request(self, method, url, *args, **kwargs):
            kwargs["verify"] = cafile  # the module asks for verify=False
            return super().request(method, url, *args, **kwargs)

    stand_in = types.ModuleType(requests.__name__, requests.__doc__)
    stand_in.__dict__.update((k, v) for k, v in vars(requests).items() if k not in ("__name__", "__doc__"))
    stand_in.session = stand_in.Session = VerifyingSession
    return stand_in


@contextlib.contextmanager
def verified_tls(cafile):
    """While the block runs, ``ThinkDataQuery.get_data_csv`` verifies TLS
    against ``cafile`` (None: as the module does, no check). The module
    looks its ``requests`` global up at each call, so the stand-in is bound
    there; requests' own Response, and with it the line reader's fast
    path, is unchanged."""
    if cafile is None:
        yield
        return
    from korvane.sadrel import sadrel

    original = sadrel.requests
    sadrel.requests = _verifying_requests(original, cafile)
    try:
        yield
    finally:
        sadrel.requests = original
