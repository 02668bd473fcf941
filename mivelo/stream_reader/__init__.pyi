from mivelo.stream_reader.reader import DEFAULT_OPTIONS as DEFAULT_OPTIONS
from mivelo.stream_reader.reader import PIXEL_FORMATS as PIXEL_FORMATS
from mivelo.stream_reader.reader import SUPPORTED_OPTIONS as SUPPORTED_OPTIONS
from mivelo.stream_reader.reader import Frame as Frame
from mivelo.stream_reader.reader import ReaderStats as ReaderStats
from mivelo.stream_reader.reader import StreamFailedError as StreamFailedError
from mivelo.stream_reader.reader import StreamReader as StreamReader
from mivelo.stream_reader.reader_set import ReaderSet as ReaderSet
