from typing import NamedTuple, Optional

class ReaderStats(NamedTuple):
    frames: int
    dropped: int
    reconnects: int
    fps: float
    last_error: Optional[str]

class FrameRate:
    def __init__(self) -> None: ...
    def restart(self) -> None: ...
    def add(self, now: float) -> None: ...
    def value(self, now: float) -> float: ...
