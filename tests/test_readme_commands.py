"""Every command of the README's shell blocks runs as written on a fresh clone (the Python
blocks are run by test_cli_pandas_cost.py and test_logic_readme.py)."""

import re
import shlex
from pathlib import Path

import pytest

from ostrelpy import cli

ROOT = Path(__file__).resolve().parent.parent
COMMAND = ".venv/bin/ostrelpy"


def readme_commands() -> list[list[str]]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```sh\n(.*?)^```", text, flags=re.S | re.M)
    out = []
    for block in blocks:
        for line in block.splitlines():
            words = shlex.split(line, comments=True)
            if not words or words[0] == "make":  # set-up; CI runs `make test` itself
                continue
            assert words[0] == COMMAND, f"README command not checked here: {line}"
            out.append(words[1:])
    return out


COMMANDS = readme_commands()


def test_the_readme_has_commands():
    assert len(COMMANDS) >= 5


@pytest.mark.parametrize("argv", COMMANDS, ids=[" ".join(a)[:60] for a in COMMANDS])
def test_readme_command_runs_as_written(argv, tmp_path, monkeypatch, capsys):
    if "--chart" in argv:
        pytest.importorskip("matplotlib")
    # The clone's files where the README expects them, and charts written beside them.
    for name in ("examples", "src"):
        (tmp_path / name).symlink_to(ROOT / name)
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("OSTRELPY_CATALOGUE", raising=False)
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    assert status == 0, err
    assert out.strip()
    if "--chart" in argv:
        assert (tmp_path / argv[argv.index("--chart") + 1]).stat().st_size > 10_000
