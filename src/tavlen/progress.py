"""The run's progress bar."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .errors import optional_import

__all__ = ["progress_bar"]


class progress_bar:
    """A tqdm bar on stderr counting people, or nothing. People whose blocks
    a checkpoint folder kept count from the start, apart from the rate, which
    counts the people simulated. It is drawn again at every block that
    finishes: blocks finish seldom, and a bar that waited for the next one to
    draw the last would show a stalled run behind."""

    def __init__(self, enabled: bool, total: int, restored: int = 0) -> None:
        self.bar: Any = None
        if enabled:
            tqdm = optional_import("tqdm", "progress", "a progress bar").tqdm
            self.bar = tqdm(total=total, initial=restored, unit="people", unit_scale=total >= 10_000, desc="tavlen",
                            mininterval=0, miniters=1)
            if restored:
                self.bar.set_postfix_str(f"{restored:,} restored from the checkpoint folder", refresh=True)

    def __enter__(self) -> Callable[[int], None]:
        return self.bar.update if self.bar is not None else _ignore

    def __exit__(self, *exc: Any) -> None:
        if self.bar is not None:
            self.bar.close()


def _ignore(_: int) -> None:
    pass
