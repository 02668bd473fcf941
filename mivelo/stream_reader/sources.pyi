import os
from typing import Any, Callable, Optional, Tuple, Union

from mivelo.stream_reader.options import ReaderOptions

RTSP_LAUNCH: str
FILE_LAUNCH: str
READ_CONVERTED: Tuple[str, ...]

class Source:
    kind: str
    url: str
    shown: str
    filled: str
    launch: Optional[str]
    finite: Optional[bool]
    pixel_format: str
    convert_to: Optional[str]
    def __init__(
        self, source: Union[str, "os.PathLike[str]", "os.PathLike[bytes]"], url: Optional[str],
        options: ReaderOptions,
    ) -> None: ...
    def build(self, watcher: Callable[[Any, Any, Any], None], settings: Any) -> Any: ...
