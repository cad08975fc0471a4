"""Each packaging system's build of its recipe in packaging/, replayed as the
system runs it: a module per system, each with one function,
build(target, work), that returns the emulator command (empty on the host)
and the installed binary. What they share is system_build.py."""
