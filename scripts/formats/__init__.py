"""The release's package formats, a module each (tarball.py holds what they
share), and feeds.py, the indexes of the feeds that serve them. apk3.py
writes OpenWrt 25.12's apk v3 packages and index, held against apk-tools'
own output; the release does not make them yet."""
