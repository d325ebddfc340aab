"""Loopback emulators of the remote services that korvane talks to.

They listen on 127.0.0.1 only and speak the real protocols, so the real
client libraries (requests, pyhive, kubernetes) can be driven against them
in tests and demos.
"""
