"""``python -m korvane.testing``: the emulators from a shell (see korvane.testing.emulate)."""
from korvane.testing.emulate import main

raise SystemExit(main())
