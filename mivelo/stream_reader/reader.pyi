import os
from types import TracebackType
from typing import Any, Mapping, Optional, Type, Union

from mivelo.stream_reader.frame import Frame as Frame
from mivelo.stream_reader.options import DEFAULT_OPTIONS as DEFAULT_OPTIONS
from mivelo.stream_reader.options import PIXEL_FORMATS as PIXEL_FORMATS
from mivelo.stream_reader.options import SUPPORTED_OPTIONS as SUPPORTED_OPTIONS
from mivelo.stream_reader.sources import FILE_LAUNCH as FILE_LAUNCH
from mivelo.stream_reader.sources import RTSP_LAUNCH as RTSP_LAUNCH
from mivelo.stream_reader.stats import ReaderStats as ReaderStats

class StreamFailedError(Exception):
    reader: Optional[StreamReader]

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
