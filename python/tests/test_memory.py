"""A matrix larger than the memory budget: it swaps, and Python sees the same
values as it wrote."""
import numpy as np
import pytest

import vqdatamatrix as vq

MiB = 1 << 20


def resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    pytest.skip("no resident size to set a budget from")


@pytest.fixture
def budget():
    # Swapping starts once the process uses more than the budget minus 128 MiB.
    vq.set_memory_budget(resident_bytes() + 128 * MiB + 32 * MiB)
    yield
    vq.set_memory_budget(0)


@pytest.mark.parametrize("kind", ["single", "multiple"])
def test_matrix_over_budget(budget, kind):
    before = vq.swap_statistics()
    # 96 MiB of float64. Elements are visited in storage order (d1 fastest):
    # the packed kind keeps runs of them in 10 MiB objects, and an order that
    # jumps between objects reads one back for every element.
    m = vq.Matrix((384,), values=32768, kind=kind)
    m.set_x_axis(0.0, 1.0)
    pattern = np.arange(32768.0)
    for d1 in range(384):
        m[d1] = pattern + d1
    for d1 in range(384):
        assert np.array_equal(m.get(d1, readonly=True)[0], pattern + d1)
    assert np.array_equal(m.slice((0, 999))[:, 0], np.cumsum(pattern[:1000])[-1] + 1000 * np.arange(384.0))
    after = vq.swap_statistics()
    assert after["blocks_written"] > before["blocks_written"] and after["blocks_read"] > before["blocks_read"]
    assert after["checksum_failures"] == before["checksum_failures"]


def test_save_all_to_disk_keeps_values_and_held_elements():
    m = vq.Matrix((8, 2), values=1024)
    held = m[3, 1]
    held[0] = 7.0
    m[5, 0] = np.full(1024, 2.0)
    written = vq.swap_statistics()["blocks_written"]
    m.save_all_to_disk()
    assert vq.swap_statistics()["blocks_written"] > written
    assert np.all(m.get((5, 0), readonly=True) == 2.0) and np.all(m[3, 1] == 7.0)
    held[0] = 8.0  # still the element's own buffer
    assert np.all(m.get((3, 1), readonly=True) == 8.0)
