"""Runs the project's benchmark: every bench/cases_*.py module contributes
cases through its function cases(); a module may also define report(), which
prints further measurements (memory, for instance) after the table.

    python3 bench/run.py [substring ...]    # only cases whose name contains one

A module that sets SELECTED_ONLY = True reports only when named (a long run).

Exit status 0 whatever the ratios: the table is the result.
"""

from __future__ import annotations

import importlib
import pathlib
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
sys.path.insert(0, str(here.parent))

from harness import measure, table  # noqa: E402


def main(argv: list[str]) -> int:
    modules = [importlib.import_module(p.stem) for p in sorted(here.glob("cases_*.py"))]
    selected = [
        case
        for module in modules
        for case in module.cases()
        if not argv or any(word in case.name for word in argv)
    ]
    results = []
    for case in selected:
        results.append(measure(case))
        print(f"  measured {case.name}", file=sys.stderr)
    print(f"Python {sys.version.split()[0]}")
    print(table(results))
    for module in modules:
        report = getattr(module, "report", None)
        named = any(word in module.__name__ for word in argv)
        if report and (named or not argv and not getattr(module, "SELECTED_ONLY", False)):
            report()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
