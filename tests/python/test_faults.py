"""Failures inside the engine surface as Python exceptions and leave the
database usable."""

import os

import pytest

under_sanitizer = pytest.mark.skipif(
    bool(os.environ.get("BRINDLE_UNDER_SANITIZER")),
    reason="address-space limits break the sanitizer runtime",
)


@under_sanitizer
def test_out_of_memory_while_copying_a_value_raises_memory_error(run_python, db_path):
    result = run_python(
        f"""
        import os, resource
        import brindle

        db = brindle.open({db_path!r})
        db.set("c", "before", 1)
        big = b"x" * (256 << 20)
        page = os.sysconf("SC_PAGE_SIZE")
        with open("/proc/self/statm") as f:
            in_use = int(f.read().split()[0]) * page
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        # Room for small allocations, none for a second copy of `big`.
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (64 << 20), hard))
        try:
            db.set("c", "big", big)
        except MemoryError:
            print("memory error")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        del big
        db.set("c", "after", 2)
        print(db.get("c", "before"), db.get("c", "after"))
        try:
            db.get("c", "big")
        except KeyError as e:
            print(e.args[0])
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == ["memory error", "1 2", "key not found"]
