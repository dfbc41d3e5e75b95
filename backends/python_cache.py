"""Compiles, into the bundle's python-cache directory, every Python module that LLDB's library
imports as it starts.

LLDB's Python module is 600 KB of source that Debian ships uncompiled, and LLDB's Python never
writes a compiled copy: each start of an LLDB back end would compile it anew (some 60 ms). The
back ends point Python's pycache_prefix here while LLDB starts. A copy whose source has changed
since (a newer LLDB, a newer Python) no longer matches it and is compiled from the source again,
as without this directory.

usage: python3 -X pycache_prefix=CACHE python_cache.py LLDB_PYTHON_DIRECTORY STAMP
"""

import importlib.util
import py_compile
import sys


def main(argv):
    if len(argv) != 3 or sys.pycache_prefix is None:
        sys.stderr.write(__doc__)
        return 2
    sys.path.insert(0, argv[1])
    compiled = 0
    try:
        # What LLDB imports at its start, and the library printers it imports at the first
        # vector or map it shows.
        import lldb  # noqa: F401
        import lldb.embedded_interpreter  # noqa: F401
        import lldb.formatters.cpp.gnu_libstdcpp  # noqa: F401
    except ImportError as fault:
        sys.stderr.write("python_cache: LLDB's Python module is not usable (%s): no cache\n" % fault)
    else:
        for module in list(sys.modules.values()):
            source = getattr(module, "__file__", None)
            if not source or not source.endswith(".py"):
                continue
            try:
                py_compile.compile(source, cfile=importlib.util.cache_from_source(source), doraise=True,
                                   invalidation_mode=py_compile.PycInvalidationMode.TIMESTAMP)
                compiled += 1
            except (py_compile.PyCompileError, OSError) as fault:
                sys.stderr.write("python_cache: %s not compiled: %s\n" % (source, fault))
    with open(argv[2], "w") as stamp:
        stamp.write("%d modules\n" % compiled)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
