"""The ways into the interpreter a build takes: the shortcuts found at import, or, in a build
without them (run with --built-without-shortcuts), the plain ways, as where every probe fails."""

from conftest import run_in_child

# Hits of a plain function, counting the reads of its code and defaults that
# go through their descriptors: those raise an audit event, reads in place
# do not. A hook cannot be removed, hence the child.
HITS = """
import sys
from lineage_store import LineageStoreBase, lineage_stored

class Store(LineageStoreBase):
    @lineage_stored()
    def m(self, x, y=1):
        return x + y

obj = Store()
obj.m(3), obj.m(x=4)
reads = []
sys.addaudithook(lambda event, args: event == 'object.__getattr__' and args[1] in ('__code__', '__defaults__')
                 and reads.append(args[1]))
assert [obj.m(3), obj.m(x=4), obj.m(3, 1)] == [4, 5, 4]
print(len(reads))
"""


def test_hits_read_the_function_in_place_unless_built_without_shortcuts(request):
    reads = int(run_in_child(HITS))
    if request.config.getoption("--built-without-shortcuts"):
        # The switch reached the build: the whole suite ran on the plain ways.
        assert reads > 0
    else:
        # Every CPython this suite runs on lets the probes find the function's
        # layout: a probe that stopped finding it would leave every call on
        # the plain ways, unnoticed.
        assert reads == 0
