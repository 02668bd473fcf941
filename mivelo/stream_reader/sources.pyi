from typing import Any, Callable, Optional

from mivelo.stream_reader.options import ReaderOptions

RTSP_LAUNCH: str
FILE_LAUNCH: str

class Source:
    kind: str
    url: str
    launch: Optional[str]
    finite: bool
    pixel_format: str
    def __init__(self, source: str, url: Optional[str], options: ReaderOptions) -> None: ...
    def build(self, watcher: Callable[[Any, Any, Any], None], settings: Any) -> Any: ...
