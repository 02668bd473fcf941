import os
from types import TracebackType
from typing import Any, Dict, Mapping, NamedTuple, Optional, Tuple, Type, Union

from mivelo.stream_reader.frame import Frame as Frame

SUPPORTED_OPTIONS: Dict[str, Union[type, Tuple[type, ...]]]
DEFAULT_OPTIONS: Dict[str, Any]
PIXEL_FORMATS: Dict[str, int]
RTSP_LAUNCH: str
FILE_LAUNCH: str

class StreamFailedError(Exception):
    reader: Optional[StreamReader]


class ReaderStats(NamedTuple):
    frames: int
    dropped: int
    reconnects: int
    fps: float
    last_error: Optional[str]

class StreamReader:
    def __init__(
        self,
        source: Union[str, "os.PathLike[str]", "os.PathLike[bytes]"],
        options: Optional[Mapping[str, Any]] = None,
        *,
        url: Optional[str] = None,
    ) -> None: ...
    @property
    def url(self) -> str: ...
    @property
    def stats(self) -> ReaderStats: ...
    def read(self, timeout: Optional[float] = None) -> Optional[Frame]: ...
    def __iter__(self) -> StreamReader: ...
    def __next__(self) -> Frame: ...
    async def read_async(self, timeout: Optional[float] = None) -> Optional[Frame]: ...
    def __aiter__(self) -> StreamReader: ...
    async def __anext__(self) -> Frame: ...
    def close(self) -> None: ...
    def __enter__(self) -> StreamReader: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None: ...
