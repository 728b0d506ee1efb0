"""Any field of a document missing or of the wrong kind is refused in a message, never a crash."""

import copy
import json
from pathlib import Path

import pytest

from ostrelpy.importers import TariffImportError, no, se, urdb

DATA = Path(__file__).with_name("data")
DELETE = object()
JUNK = [DELETE, 5, "x", None, [], {}, [[1]], True]
CASES = [
    (urdb, "urdb/fixture_pysam_urdbv7.json", {"timezone": "UTC-05:00"}, 2),
    (urdb, "urdb/coned_sc9_rate3_zoneJ_67b78db9.json", {"timezone": "UTC-05:00"}, 4),
    (se, "se/tariffs-response.json", {}, 7),
    (
        no,
        "no/" + "DiginGridTariffAPI.v1_0_meteringpointsgridtariffs_json_output_LSDN_example1.json",
        {},
        8,
    ),
]


def _paths(node, depth, path=()):
    if depth == 0:
        return
    if isinstance(node, dict):
        for key, value in node.items():
            yield (*path, key)
            yield from _paths(value, depth - 1, (*path, key))
    elif isinstance(node, list) and node:
        yield (*path, 0)
        yield from _paths(node[0], depth - 1, (*path, 0))


def _changed(doc, path, value):
    doc = copy.deepcopy(doc)
    node = doc
    for key in path[:-1]:
        node = node[key]
    if value is DELETE:
        del node[path[-1]]
    else:
        node[path[-1]] = value
    return doc


@pytest.mark.parametrize("importer, name, options, depth", CASES, ids=[c[1] for c in CASES])
def test_broken_documents_are_refused_in_words(importer, name, options, depth):
    doc = json.loads((DATA / name).read_text(encoding="utf-8"))
    refused = 0
    for path in _paths(doc, depth):
        for junk in JUNK:
            try:
                importer(_changed(doc, path, junk), approximate=True, **options)
            except TariffImportError as exc:
                refused += 1
                assert exc.reasons and all(r.strip() and "\n" not in r for r in exc.reasons)
    assert refused > 50
