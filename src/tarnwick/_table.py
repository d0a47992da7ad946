"""Tables of numbers as text: aligned columns, CSV and JSON records.

Numbers are written to significant digits, not to a fixed count of decimals: a fixed
count turns a price of 1e-9 into 0.000000 and widens a column of 1e7 past its neighbours.
"""

import csv
import io
import json
import math
from typing import Any, List, Sequence

# Eight significant digits: a price of the pricing API is accurate to about 1e-13 of the
# spot, well past them, while a wider column stops fitting a terminal.
DIGITS = 8


def cell(value: Any, digits: int = DIGITS) -> str:
    """One entry as text: numbers to that many significant digits, anything else as str."""
    if isinstance(value, (float, int)) and not isinstance(value, bool):
        return f"{value:.{digits}g}" if math.isfinite(value) else str(float(value))
    return str(value)


def aligned(names: Sequence[str], rows: Sequence[Sequence[Any]], indent: str = "",
            digits: int = DIGITS) -> List[str]:
    """Lines of a table: a header, then a line per row, every column right-aligned to its
    widest entry (the first, a label column when it holds text, left-aligned)."""
    cells = [[cell(v, digits) for v in row] for row in rows]
    widths = [max([len(name)] + [len(row[i]) for row in cells]) for i, name in enumerate(names)]
    left = bool(rows) and isinstance(rows[0][0], str)

    def line(entries: Sequence[str]) -> str:
        parts = [entry.ljust(w) if i == 0 and left else entry.rjust(w)
                 for i, (entry, w) in enumerate(zip(entries, widths))]
        return (indent + "  ".join(parts)).rstrip()

    return [line(names)] + [line(row) for row in cells]


def as_csv(names: Sequence[str], rows: Sequence[Sequence[Any]]) -> List[str]:
    """Lines of a CSV table; floats at full precision (repr), so that they read back
    exactly."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    writer.writerow(names)
    writer.writerows([[repr(v) if isinstance(v, float) else v for v in row] for row in rows])
    return buffer.getvalue().splitlines()


def as_json(document: Any) -> List[str]:
    """Lines of a JSON document; non-finite floats as null, which JSON has no number for."""
    def finite(value: Any) -> Any:
        if isinstance(value, float) and not math.isfinite(value):
            return None
        if isinstance(value, dict):
            return {k: finite(v) for k, v in value.items()}
        if isinstance(value, (list, tuple)):
            return [finite(v) for v in value]
        return value

    return json.dumps(finite(document), indent=2).splitlines()
