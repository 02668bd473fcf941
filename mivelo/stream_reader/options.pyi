from typing import Any, Dict, Mapping, Optional, Tuple, Union

SUPPORTED_OPTIONS: Dict[str, Union[type, Tuple[type, ...]]]
DEFAULT_OPTIONS: Dict[str, Any]
PIXEL_FORMATS: Dict[str, int]
FOREVER_SECONDS: float
RULES: Dict[str, str]

def refused(name: str, value: object) -> ValueError: ...
def seconds(
    value: float, name: str = ..., *, positive: bool = ..., endless: bool = ...
) -> Optional[float]: ...

class ReaderOptions:
    max_fps: Optional[float]
    pixel_format: str
    pixel_format_given: bool
    read_timeout: Optional[float]
    stall_timeout: float
    reconnect: bool
    backoff_min: float
    backoff_max: float
    max_attempts: Optional[int]
    finite: Optional[bool]
    def __init__(self, supplied: Mapping[str, Any]) -> None: ...
    def backoff(self, failures: int) -> float: ...
    def gives_up(self, failures: int) -> bool: ...
