#!/usr/bin/env bash
# Unpacks kubectl from Debian's kubernetes-client package into
# .venv/kubernetes-client, for the tests that drive kubectl against the
# Kubernetes API emulator, and prints its path.  Nothing is installed into
# the system: apt-get downloads the package and dpkg-deb unpacks it, so a
# kubectl already on the PATH (from another package) stays as it is.  Where
# the package cannot be had, it says why on stderr and exits 1; those tests
# then skip.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=.venv/kubernetes-client
kubectl=$dest/usr/bin/kubectl
if [ ! -x "$kubectl" ]; then
  if ! command -v apt-get >/dev/null || ! command -v dpkg-deb >/dev/null; then
    echo "tools/kubectl.sh: no apt-get and dpkg-deb here; the kubectl tests will skip" >&2
    exit 1
  fi
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  chmod 755 "$scratch"  # apt-get downloads as its own user where it can
  if ! (cd "$scratch" && apt-get download -qq kubernetes-client) >/dev/null 2>&1; then
    # A fresh machine may have no package lists yet.
    if [ "$(id -u)" = 0 ]; then apt-get update -qq >/dev/null 2>&1 || true; fi
    if ! (cd "$scratch" && apt-get download -qq kubernetes-client) >"$scratch/log" 2>&1; then
      cat "$scratch/log" >&2
      echo "tools/kubectl.sh: Debian's kubernetes-client cannot be downloaded; the kubectl tests will skip" >&2
      exit 1
    fi
  fi
  mkdir -p .venv
  rm -rf "$dest.part"
  dpkg-deb -x "$scratch"/kubernetes-client_*.deb "$dest.part"
  rm -rf "$dest"
  mv "$dest.part" "$dest"
fi
echo "$PWD/$kubectl"
