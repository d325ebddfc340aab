"""korvane emulate: the three emulators from a shell."""


def cmd_emulate(args):
    from korvane.testing.emulate import run

    return run(args)
