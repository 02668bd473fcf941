from typing import Any, Callable, Optional

from mivelo.pipeline_factories.base import PipelineFactory
from mivelo.utils.credentials import mask_text as mask_text, mask_url as mask_url
from mivelo.utils.gstreamer import Pipeline

Gst: Any
BUFFER_SRC_NAME: str

class CustomPipelineFactory(PipelineFactory):
    def __init__(
        self,
        pipeline_str: str,
        *,
        url: str,
        pipeline_watcher: Callable[[Any, Any, Pipeline], object],
        on_complete: Optional[Callable[[Pipeline], object]],
    ) -> None: ...
    def build(self) -> Pipeline: ...
