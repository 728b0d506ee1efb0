"""Finding tariffs in a catalogue directory by id, unique id prefix or name.

The API client reads one tariff by its exact id; people type names and short ids. Every
problem of the catalogue itself (a missing directory, a file not named by its tariff's id,
invalid JSON, a tariff that does not validate) is a `CatalogueError` naming the file.
"""

from __future__ import annotations

import dataclasses
import json
import os
import uuid
from dataclasses import dataclass
from pathlib import Path

from pydantic import ValidationError

from ostrelpy.api_client import BUNDLED_CATALOGUE, CATALOGUE_ENV
from ostrelpy.models import Tariff


class CatalogueError(ValueError):
    """A catalogue directory or tariff file that cannot be used; the text names it."""


class TariffLookupError(LookupError):
    """No tariff, or more than one, answers to what the caller asked for."""


@dataclass(frozen=True)
class Entry:
    path: Path
    tariff: Tariff
    # Files of the catalogue that could not be read while looking this tariff up by name or
    # prefix (one of them may have been the one meant): a message naming each.
    skipped: tuple[str, ...] = ()


def catalogue_folder(catalogue: str | os.PathLike[str] | None = None) -> str | os.PathLike[str]:
    """The directory asked for: the argument, else $OSTRELPY_CATALOGUE, else the bundled one
    (unchecked: a lookup on every call reads it as it is)."""
    return catalogue or os.environ.get(CATALOGUE_ENV) or BUNDLED_CATALOGUE


def catalogue_dir(catalogue: str | os.PathLike[str] | None = None) -> Path:
    """The directory in use, checked: `catalogue_folder`'s."""
    chosen = Path(catalogue_folder(catalogue))
    if not chosen.is_dir():
        source = f" (from ${CATALOGUE_ENV})" if not catalogue else ""
        raise CatalogueError(f"{chosen}: no such catalogue directory{source}")
    return chosen


def validation_summary(exc: ValidationError) -> str:
    """Pydantic's errors on one line: location and message of each."""
    parts = []
    for err in exc.errors():
        loc = ".".join(str(p) for p in err["loc"])
        # pydantic prefixes the text of a failed rule's AssertionError; the text says it all.
        msg = err["msg"].removeprefix("Assertion failed, ")
        parts.append(f"{loc}: {msg}" if loc else msg)
    return "; ".join(parts)


def read_entry(path: Path) -> Entry:
    """One tariff file, checked: valid JSON, a valid tariff, named `<its id>.json`."""
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except json.JSONDecodeError as exc:
        raise CatalogueError(f"{path}: invalid JSON: {exc}") from None
    except RecursionError:
        raise CatalogueError(f"{path}: invalid JSON: nested too deeply") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise CatalogueError(f"{path}: cannot be read ({exc})") from None
    try:
        tariff = Tariff.model_validate(data)
    except ValidationError as exc:
        raise CatalogueError(f"{path}: not a valid tariff: {validation_summary(exc)}") from None
    if path.stem != str(tariff.id):
        raise CatalogueError(
            f"{path}: holds tariff {tariff.id}; name the file {tariff.id}.json so the "
            "client can find it by id"
        )
    return Entry(path, tariff)


def scan(
    catalogue: str | os.PathLike[str] | None = None,
) -> tuple[list[Entry], list[tuple[Path, str]]]:
    """Every readable tariff of the catalogue, ordered by name, and each file that cannot be
    used with the message naming it: one broken file does not hide the others."""
    found, broken = [], []
    for path in sorted(catalogue_dir(catalogue).glob("*.json")):
        try:
            found.append(read_entry(path))
        except CatalogueError as exc:
            broken.append((path, str(exc)))
    found.sort(key=lambda e: (e.tariff.name.casefold(), str(e.tariff.id)))
    return found, broken


def entries(catalogue: str | os.PathLike[str] | None = None) -> list[Entry]:
    """Every readable tariff of the catalogue, ordered by name (see `scan` for the others)."""
    return scan(catalogue)[0]


# The id and name of each catalogue file as last read, by path, with the modification time
# and size it had then: a lookup by name or prefix reads every file only once while they stay
# unchanged, and then reads the one it chose afresh (callers get a tariff of their own). A
# file read again replaces what was kept of it.
_HEADINGS: dict[str, tuple[tuple[int, int], tuple[str, str] | CatalogueError]] = {}


def _heading(path: Path) -> tuple[str, str]:
    """The id and name of the tariff in `path`; CatalogueError when it cannot be used."""
    try:
        st = path.stat()
    except OSError as exc:
        raise CatalogueError(f"{path}: cannot be read ({exc})") from None
    stamp = (st.st_mtime_ns, st.st_size)
    kept = _HEADINGS.get(str(path))
    if kept is not None and kept[0] == stamp:
        known = kept[1]
    else:
        try:
            entry = read_entry(path)
            known = (str(entry.tariff.id), entry.tariff.name)
        except CatalogueError as exc:
            known = exc
        _HEADINGS[str(path)] = (stamp, known)
    if isinstance(known, CatalogueError):
        raise known
    return known


@dataclass(frozen=True)
class _Heading:
    path: Path
    id: str
    name: str


def find(reference: str, catalogue: str | os.PathLike[str] | None = None) -> Entry:
    """The tariff with this id, the one whose id starts with it, or the one of this name."""
    folder = catalogue_dir(catalogue)
    try:
        exact = folder / f"{uuid.UUID(reference)}.json"
    except ValueError:
        exact = None
    if exact is not None and exact.is_file():
        return read_entry(exact)
    every: list[_Heading] = []
    broken: list[tuple[Path, str]] = []
    for path in sorted(folder.glob("*.json")):
        try:
            every.append(_Heading(path, *_heading(path)))
        except CatalogueError as exc:
            broken.append((path, str(exc)))
    every.sort(key=lambda h: (h.name.casefold(), h.id))
    key = reference.strip().casefold()
    named = [h for h in every if h.name.casefold() == key]
    prefixed = [h for h in every if h.id.startswith(key)] if key else []
    # A unique beginning of a name is accepted too, after exact names and id prefixes.
    started = [h for h in every if key and h.name.casefold().startswith(key)]
    matches = named or prefixed or started
    if len(matches) == 1:
        entry = read_entry(matches[0].path)
        return dataclasses.replace(entry, skipped=tuple(m for _, m in broken))
    if not matches:
        # The tariff asked for may be in a file that cannot be read: say which.
        named_broken = [m for p, m in broken if key and p.stem.casefold().startswith(key)]
        if named_broken:
            raise CatalogueError(named_broken[0])
        unread = f"; {len(broken)} file(s) could not be read: {broken[0][1]}" if broken else ""
        raise TariffLookupError(
            f"no tariff {reference!r} in {folder} (by id, id prefix or name; "
            f"`ostrelpy list` shows them){unread}"
        )
    shown = ", ".join(f"{h.id} ({h.name})" for h in matches)
    raise TariffLookupError(f"{reference!r} is ambiguous in {folder}: {shown}")


def default(catalogue: str | os.PathLike[str] | None = None) -> Entry:
    """The tariff used when none is named: the bundled example if the catalogue has it,
    else the catalogue's first tariff by name."""
    folder = catalogue_dir(catalogue)
    bundled = folder / "5f0c2a9e-7d1b-4c3a-9a57-1e2b3c4d5e6f.json"
    if bundled.is_file():
        return read_entry(bundled)
    every, broken = scan(folder)
    if not every and broken:
        raise CatalogueError(broken[0][1])
    if not every:
        raise CatalogueError(f"{folder}: the catalogue holds no tariff (*.json) files")
    return every[0]
