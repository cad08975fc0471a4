"""Debian's build of its recipe (packaging/debian), for real: the release's
own build of a .deb (formats/deb.py), dpkg-buildpackage and lintian, for
this host's Debian architecture."""
import sys

from formats import deb


def build(target, work, out=None):
    if target != "host":
        sys.exit("replay: debian builds for the host's Debian architectures; the release "
                 "cross-builds the others")
    binary, _ = deb.build(work, out=out)
    return [], binary
