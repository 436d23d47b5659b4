"""What the C functions (quenta.capi) give for a fault that the session's causes do not cover."""

from __future__ import annotations

import pytest

from conftest import FAST, READY


# The C contract has no failure for a read-back without a valid answer: the
# name is empty.
@pytest.mark.parametrize("kind", ["silent", "garbage", "error"])
@pytest.mark.quenta_sim(args=READY + FAST)
def test_an_unanswered_read_back_reads_as_no_name(lib, quenta_sim, kind):
    lib.pair("QUENTA-BRAVO")
    quenta_sim.control(f"fault ADRDRP={kind}")
    assert lib.paired() == ""
    quenta_sim.control("clear ADRDRP")
    assert lib.paired() == "QUENTA-BRAVO"

