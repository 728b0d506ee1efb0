"""The README's facade example runs as written."""

import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def test_the_readme_example_runs():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    (example,) = [b for b in blocks if "LogicBindings" in b]
    done = subprocess.run(
        [sys.executable, "-c", example], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert [line.split()[0] for line in lines] == [
        "Energiskatt",
        "Överföringsavgift",
        "Effektavgift",
        "Abonnemangsavgift",
    ]
    assert lines[0].split()[1:] == ["326.62", "SEK", "over", "2976", "intervals"]
