"""karvo_dist's stubs, as a type checker reads them: rows may come from any iterable of
dicts, and what is not a dict is caught before the program runs."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

ACCEPTED = """
    from typing import Any, Iterator
    from karvo_dist import Profile

    def cursor() -> Iterator[dict[str, Any]]:
        yield {"a": 1}

    p = Profile()
    p.observe_dicts([{"a": 1}, {"b": "x"}])
    p.observe_dicts({"a": i} for i in range(3))
    p.observe_dicts(rows=cursor())
    typed: list[dict[str, int]] = [{"a": 1}]
    p.observe_dicts(typed)
    lean = Profile(7, summaries=False)
    kept: bool = lean.keeps_summaries
    back = Profile.from_bytes(lean.to_bytes(), 7, summaries=None)
"""

# (call, what mypy must say of it)
REFUSED = [
    ("p.observe_dicts([1, 2])", 'incompatible type "int"'),
    ('p.observe_dicts([("a", 1)])', 'incompatible type "tuple[str, int]"'),
    ('p.observe_dicts({"a": 1})', 'expected "dict[str, Any]"'),  # a lone row
    ('p.observe_arrow([{"a": 1}])', 'incompatible type "list[dict[str, int]]"'),  # no Arrow
    ("Profile(0, False)", "Too many positional arguments"),  # summaries is keyword-only
]


def mypy(tmp_path, code):
    path = tmp_path / "use.py"
    path.write_text(textwrap.dedent(code))
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", str(tmp_path / "cache"), str(path)],
                          capture_output=True, text=True, timeout=300)


def test_iterables_of_dicts_type_check(tmp_path):
    result = mypy(tmp_path, ACCEPTED)
    assert result.returncode == 0, result.stdout


def test_rows_that_are_not_dicts_are_caught(tmp_path):
    calls = "\n".join(call for call, _ in REFUSED)
    result = mypy(tmp_path, "from karvo_dist import Profile\np = Profile()\n" + calls + "\n")
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    for line_number, (call, said) in enumerate(REFUSED, start=3):
        assert any(line.split(":")[1] == str(line_number) and said in line
                   for line in errors), (call, result.stdout)
