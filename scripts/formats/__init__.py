"""The release's package formats, a module each (tarball.py holds what they
share), and feeds.py, the indexes of the feeds that serve them."""
