"""The lists the package shares with the library, read from the one file
both are built from: the version, the output containers, the inputs a batch
writes in another container, and the EQ presets.

A wheel carries the file beside this module; run from the source tree, the
package reads the tree's own ``src/base/lists.json``.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, List

_HERE = os.path.dirname(os.path.abspath(__file__))
#: Where a wheel puts the file, and where it is in the source tree.
BUNDLED = os.path.join(_HERE, "lists.json")
IN_TREE = os.path.join(os.path.dirname(os.path.dirname(_HERE)), "src", "base", "lists.json")


def _load() -> Dict[str, Any]:
    with open(BUNDLED if os.path.exists(BUNDLED) else IN_TREE, encoding="utf-8") as f:
        doc: Dict[str, Any] = json.load(f)
    return doc


_LISTS = _load()

VERSION: str = _LISTS["version"]
#: The extensions the writer produces, in the library's order.
OUTPUT_EXTENSIONS: List[str] = [o["ext"] for o in _LISTS["outputs"]]
#: Batch inputs whose outputs are written as CONVERTED_TO.
CONVERTED: List[str] = list(_LISTS["batch_converted"]["from"])
CONVERTED_TO: str = _LISTS["batch_converted"]["to"]
EQ_PRESETS: List[str] = list(_LISTS["eq_presets"])
#: The eq value for no EQ.
EQ_OFF: str = _LISTS["eq_off"]
