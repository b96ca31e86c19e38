"""Every Python snippet of README.md runs as written: each is saved as a script and run in
a child process, in a directory holding the small files the snippets name. A snippet
whose output the README shows ("prints ...") must print exactly that. Snippets that need
Dask or Spark skip when those are not installed (tests/install_engines.sh installs them).
"""

import json
import os
import re
import shutil
import site
import subprocess
import sys
from pathlib import Path

import pytest

import karvo
import karvo_dist
from conftest import default_sigint

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")

FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.S | re.M)

ROWS = [{"id": i, "city": ["Oslo", "Lima", "Pune"][i % 3], "price": None if i % 4 else i / 2}
        for i in range(30)]


def snippets():
    """(id, code, shown output or None) for each python block, in README order."""
    found = []
    blocks = list(FENCE.finditer(README))
    for index, block in enumerate(blocks):
        if block.group(1) != "python":
            continue
        heading = re.findall(r"^#+ (.+)$", README[:block.start()], re.M)[-1]
        shown = None
        after = blocks[index + 1] if index + 1 < len(blocks) else None
        if (after is not None and after.group(1) == ""
                and README[block.end():after.start()].lstrip().startswith("prints")):
            shown = "".join(line.strip() for line in after.group(2).splitlines())
        name = f"{len(found)}-{re.sub(r'[^a-z]+', '-', heading.lower()).strip('-')}"
        found.append(pytest.param(block.group(2), shown, id=name))
    return found


def needs(code):
    """Skips when the snippet needs an engine that is not here."""
    if ("to_html" in code or "summary" in code) and not hasattr(karvo_dist.Profile, "summary"):
        pytest.skip("this build of karvo_dist has no column summary")
    if "polars" in code:
        pytest.importorskip("polars", reason="polars is not installed (tests/run_all.sh "
                            "installs it)")
    if "dask" in code or "distributed" in code:
        pytest.importorskip("distributed", reason="Dask is not installed "
                            "(tests/install_engines.sh installs it)")
    if "pyspark" in code or "karvo_dist.spark" in code:
        pytest.importorskip("pyspark", reason="PySpark is not installed "
                            "(tests/install_engines.sh installs it)")
        if not (shutil.which("java") or os.environ.get("JAVA_HOME")):
            pytest.skip("Spark needs a Java runtime (tests/install_engines.sh installs one)")


def make_files(directory):
    """The files the snippets read: events.jsonl, the same rows split over events/*.jsonl,
    and a.jsonl, b.jsonl, c.jsonl."""
    lines = [json.dumps(row) + "\n" for row in ROWS]
    (directory / "events.jsonl").write_text("".join(lines))
    (directory / "events").mkdir()
    for part, name in enumerate(["a", "b", "c"]):
        piece = "".join(lines[part::3])
        (directory / "events" / f"{name}.jsonl").write_text(piece)
        (directory / f"{name}.jsonl").write_text(piece)


def child_env():
    """karvo and karvo_dist importable as in this process; PYSPARK_PYTHON as a new user
    has it: unset. An installed karvo needs no PYTHONPATH, and gets none, so that Spark's
    workers find karvo_dist only through the interpreter they run on."""
    paths = {str(Path(karvo.__file__).resolve().parent),
             str(Path(karvo_dist.__file__).resolve().parent.parent)}
    paths -= {str(Path(path).resolve()) for path in site.getsitepackages()}
    env = {name: value for name, value in os.environ.items() if name != "PYSPARK_PYTHON"}
    if paths:
        env["PYTHONPATH"] = os.pathsep.join(sorted(paths) + [env.get("PYTHONPATH", "")])
    return env


def test_the_readme_has_its_snippets():
    # A changed fence (```py, indented blocks) must not make the test below run nothing.
    assert len(snippets()) >= 6


@pytest.mark.parametrize("code, shown", snippets())
def test_snippet_runs_as_written(code, shown, tmp_path):
    needs(code)
    make_files(tmp_path)
    script = tmp_path / "snippet.py"
    script.write_text(code, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=child_env(),
                            capture_output=True, text=True, timeout=300,
                            preexec_fn=default_sigint)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.strip(), "a snippet shows something"
    if shown is not None:
        assert result.stdout.strip() == shown
