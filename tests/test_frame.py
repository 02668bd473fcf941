"""mivelo.stream_reader.frame: frames pulled in C++, exported without a copy.

Frames come from real appsinks, started with the `launch` fixture
(conftest.py): ``videotestsrc`` for real decoding and conversion, ``appsrc``
for buffers whose every byte the test chose (padding that must not show, a
video meta with its own stride, buffers without a timestamp or too small for
their caps).  The module has no model: the errors of each path are stated
once, in the tables below, which the message checks and the leak checks
(tests/leaks.py) share.
"""
import collections
import ctypes
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import leaks
from gst_support import REAL_GST, needs_gst
from mivelo.stream_reader import frame as frame_module
from mivelo.stream_reader.frame import Frame, pull

if REAL_GST:
    import gi

    gi.require_version("GstVideo", "1.0")
    from gi.repository import Gst, GstVideo


def source(caps, frames=None, pattern="ball"):
    """A launch string of videotestsrc into an appsink named "sink" that
    holds up to four frames and makes the source wait for the reader."""
    count = f" num-buffers={frames}" if frames is not None else ""
    return (f"videotestsrc pattern={pattern}{count} ! {caps} "
            "! appsink name=sink sync=false max-buffers=4")


def optional_numpy():
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def pushed(launch, caps):
    """An appsrc with ``caps`` into an appsink: push(bytes, pts=None, meta=None)."""
    pipeline, sink = launch(f"appsrc name=src format=time caps={caps} ! appsink name=sink "
                            "sync=false")
    src = pipeline.get_by_name("src")

    def push(data, pts=None, meta=None):
        buffer = Gst.Buffer.new_wrapped(bytes(data))
        if pts is not None:
            buffer.pts = pts
        if meta is not None:
            video_format, width, height, offset, stride = meta
            GstVideo.buffer_add_video_meta_full(buffer, GstVideo.VideoFrameFlags.NONE,
                                                video_format, width, height, 1,
                                                [offset, 0, 0, 0], [stride, 0, 0, 0])
        assert src.emit("push-buffer", buffer) == Gst.FlowReturn.OK
    return sink, push


# Frames that each of the eight threads pulls in the thread test.
FRAMES_PER_THREAD = 150


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.py_object), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int),
                ("ndim", ctypes.c_int), ("format", ctypes.c_char_p),
                ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
                ("suboffsets", ctypes.c_void_p), ("internal", ctypes.c_void_p)]


# The request flags of the buffer protocol (Include/pybuffer.h).
SIMPLE, WRITABLE, FORMAT, ND = 0, 0x1, 0x4, 0x8
STRIDES = 0x10 | ND
C_CONTIGUOUS, F_CONTIGUOUS, ANY_CONTIGUOUS = 0x20 | STRIDES, 0x40 | STRIDES, 0x80 | STRIDES
FULL_RO = 0x100 | STRIDES | FORMAT

# The requests a frame refuses: any frame, and a frame of padded rows.
REFUSED_BY_EVERY_FRAME = [WRITABLE, STRIDES | WRITABLE, F_CONTIGUOUS]
REFUSED_BY_PADDED_ROWS = [SIMPLE, ND, FORMAT, C_CONTIGUOUS, ANY_CONTIGUOUS]

# pull()'s refusals of its arguments: (value, error, what the message says).
NOT_APPSINKS = [(None, "not NoneType"), (1, "not int"), ("appsink", "not str"),
                (object(), "not object")]
BAD_TIMEOUTS = [
    (True, TypeError, "timeout must be a number of seconds or None, not bool"),
    ("1", TypeError, "not str"),
    (-0.5, ValueError, "timeout must be at least 0, not -0.5"),
    (float("nan"), ValueError, "not nan"),
]
BAD_INDICES = [
    (False, TypeError, "index must be an int, not bool"),
    (1.0, TypeError, "not float"),
    (-1, ValueError, "index must be from 0 to 2\\*\\*64-1, not -1"),
    (2**64, ValueError, "not 18446744073709551616"),
]
BAD_PIXEL_FORMATS = [
    (b"BGR", TypeError, "pixel_format must be a str or None, not bytes"),
    ("GRAY8", ValueError, "pixel_format must be 'BGR', 'RGB' or None, not 'GRAY8'"),
    ("bgr", ValueError, "not 'bgr'"),
]

_get_buffer = ctypes.pythonapi.PyObject_GetBuffer
_get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
_release_buffer = ctypes.pythonapi.PyBuffer_Release
_release_buffer.argtypes = [ctypes.POINTER(PyBuffer)]


def buffer_request(obj, flags):
    """What a C consumer asking with ``flags`` gets: (len, ndim, shape,
    strides, format, readonly, address); raises what the exporter raises."""
    view = PyBuffer()
    _get_buffer(obj, ctypes.byref(view), flags)
    try:
        shape = tuple(view.shape[i] for i in range(view.ndim)) if view.shape else None
        strides = tuple(view.strides[i] for i in range(view.ndim)) if view.strides else None
        return (view.len, view.ndim, shape, strides, view.format, view.readonly, view.buf)
    finally:
        _release_buffer(ctypes.byref(view))


def unpadded(data, width, height, stride, channels, offset=0):
    row = width * channels
    return b"".join(data[offset + y * stride: offset + y * stride + row] for y in range(height))


# ---------------------------------------------------------------------------


@needs_gst
class TestLayout:
    @pytest.mark.parametrize("video_format, channels", [
        ("BGR", 3), ("RGB", 3), ("GRAY8", 1), ("BGRA", 4), ("RGBx", 4),
    ])
    @pytest.mark.parametrize("width", [322, 320])
    def test_pixels_and_rows_equal_gstreamers_own_copy(self, launch, video_format, channels,
                                                       width):
        # The same deterministic source twice: one sink read through pull(),
        # the other through PyGObject's copy of the whole buffer.
        caps = f"video/x-raw,format={video_format},width={width},height=31"
        _, sink = launch(source(caps, frames=3))
        _, reference = launch(source(caps, frames=3))
        stride = (width * channels + 3) // 4 * 4
        for index in range(3):
            frame = pull(sink, 5.0, index)
            sample = reference.try_pull_sample(5 * Gst.SECOND)
            data = sample.get_buffer().extract_dup(0, sample.get_buffer().get_size())
            assert (frame.width, frame.height, frame.stride) == (width, 31, stride)
            assert frame.format == video_format and frame.index == index
            view = memoryview(frame)
            assert view.shape == (31, width, channels)
            assert view.strides == (stride, channels, 1)
            assert (view.format, view.itemsize, view.ndim, view.readonly) == ("B", 1, 3, True)
            assert view.nbytes == 31 * width * channels
            assert view.c_contiguous == (stride == width * channels)
            assert bytes(frame) == view.tobytes() == unpadded(data, width, 31, stride, channels)
            assert frame.pts == pytest.approx(sample.get_buffer().pts / Gst.SECOND)
        assert pull(sink, 5.0, 3) is None  # the end of the stream

    @pytest.mark.parametrize("video_format, shapes", [
        ("I420", [(31, 322, 1), (16, 161, 1), (16, 161, 1)]),
        ("NV12", [(31, 322, 1), (16, 161, 2)]),
    ])
    def test_planar_frames_as_gstreamer_lays_out_their_planes(self, launch, video_format,
                                                               shapes):
        caps = f"video/x-raw,format={video_format},width=322,height=31"
        _, sink = launch(source(caps, frames=1))
        _, reference = launch(source(caps, frames=1))
        frame = pull(sink, 5.0, 0)
        sample = reference.try_pull_sample(5 * Gst.SECOND)
        data = sample.get_buffer().extract_dup(0, sample.get_buffer().get_size())
        info = GstVideo.VideoInfo.new_from_caps(sample.get_caps())
        planes = frame.planes
        assert [memoryview(p).shape for p in planes] == shapes
        assert (frame.width, frame.height, frame.stride) == (322, 31, info.stride[0])
        expected = [unpadded(data, s[1], s[0], info.stride[n], s[2], info.offset[n])
                    for n, s in enumerate(shapes)]
        assert [bytes(p) for p in planes] == expected
        assert bytes(frame) == b"".join(expected)
        assert all(p.format == video_format and p.pts == frame.pts for p in planes)
        with pytest.raises(BufferError, match=f"{video_format} frames are planar"):
            memoryview(frame)
        del frame
        assert memoryview(planes[-1]).tobytes() == expected[-1]  # planes keep the buffer

    def test_padding_never_shows_and_a_video_meta_sets_the_layout(self, launch):
        sink, push = pushed(launch, "video/x-raw,format=GRAY8,width=3,height=2,framerate=0/1")
        push([1, 2, 3, 99, 4, 5, 6, 99])
        push(range(40), pts=5 * Gst.SECOND,
             meta=(GstVideo.VideoFormat.GRAY8, 3, 2, 8, 16))
        plain, with_meta = pull(sink, 5.0, 0), pull(sink, 5.0, 1)
        assert bytes(plain) == bytes([1, 2, 3, 4, 5, 6]) and plain.stride == 4
        assert plain.pts is None
        assert bytes(with_meta) == bytes([8, 9, 10, 24, 25, 26]) and with_meta.stride == 16
        assert memoryview(with_meta)[1, 2, 0] == 26
        assert with_meta.pts == 5.0

    def test_a_change_of_caps_and_sinks_of_other_caps_in_turn(self, launch):
        # Frames of one stream share their caps object, and the layout read
        # from it is kept for the next frame: it must follow every change.
        gray, push_gray = pushed(launch, "video/x-raw,format=GRAY8,width=3,height=2,"
                                         "framerate=0/1")
        rgb, push_rgb = pushed(launch, "video/x-raw,format=RGB,width=2,height=1,framerate=0/1")
        got = []
        for n in range(3):
            push_gray(bytes([n, 1, 2, 0, 3, 4, 5, 0]))
            push_rgb(bytes([n, 1, 2, 3, 4, 5, 0, 0]))
            got.append(pull(gray, 5.0, n))
            got.append(pull(rgb, 5.0, n))
        assert [(f.format, f.width, f.stride) for f in got] == [
            ("GRAY8", 3, 4), ("RGB", 2, 8)] * 3
        assert [bytes(f)[:2] for f in got] == [bytes([n, 1]) for n in range(3) for _ in "ab"]
        src = gray.get_parent().get_by_name("src")
        src.set_property("caps", Gst.Caps.from_string(
            "video/x-raw,format=GRAY8,width=2,height=2,framerate=0/1"))
        push_gray(bytes([7, 8, 0, 0, 9, 10, 0, 0]))
        changed = pull(gray, 5.0, 3)
        assert (changed.width, bytes(changed)) == (2, bytes([7, 8, 9, 10]))

    def test_attributes_and_repr(self, launch):
        sink, push = pushed(launch, "video/x-raw,format=RGB,width=2,height=2,framerate=0/1")
        push(range(16), pts=1_500_000_000)
        push(range(16))
        timed, untimed = pull(sink, 5.0, 7), pull(sink, 5.0, 2**64 - 1)
        assert repr(timed) == "<Frame 7: 2x2 RGB, pts 1.500 s>"
        assert repr(untimed) == f"<Frame {2**64 - 1}: 2x2 RGB>"
        for name in ("width", "height", "stride", "format", "pts", "index"):
            with pytest.raises(AttributeError):
                setattr(timed, name, 1)
        with pytest.raises(TypeError):
            Frame()
        with pytest.raises(TypeError):
            type(timed).__new__(type(timed))


@needs_gst
class TestConversion:
    """pull(..., pixel_format) against videoconvert, byte for byte: I420,
    YV12 and Y444 through the module's own code (32, 16 and single pixels
    at a time: widths 49 and 322), the rest through GStreamer's converter."""

    COLORIMETRIES = ("bt601", "bt709", "1:4:0:0", "bt2020")

    @pytest.mark.parametrize("video_format", ["I420", "YV12", "Y444", "NV12", "Y42B"])
    def test_the_pixels_of_videoconvert(self, launch, video_format):
        for n, colorimetry in enumerate(self.COLORIMETRIES):
            for target, (width, height) in (("BGR", (49, 31)), ("RGB", (322, 7))):
                caps = (f"video/x-raw,format={video_format},width={width},height={height},"
                        f"colorimetry={colorimetry}")
                pattern = ("smpte", "ball")[n % 2]
                _, sink = launch(source(caps, frames=2, pattern=pattern))
                _, reference = launch(source(f"{caps} ! videoconvert ! video/x-raw,format={target}",
                                             frames=2, pattern=pattern))
                for index in range(2):
                    frame = pull(sink, 5.0, index, target)
                    expected = pull(reference, 5.0, index)
                    assert (frame.format, frame.width, frame.height, frame.stride) == (
                        expected.format, expected.width, expected.height, expected.stride)
                    assert bytes(frame) == bytes(expected), (colorimetry, target)
                    assert frame.pts == expected.pts and frame.index == index

    def test_sinks_of_other_formats_and_sizes_converted_at_once(self, launch):
        # The layout, converter and buffer pool that the module keeps for
        # the next frame serve one format and size: threads converting
        # frames of others at the same moment must each get their own right.
        streams = [("NV12", 322, 7), ("Y42B", 49, 31), ("I420", 64, 48), ("YV12", 33, 17)]
        results = {}

        def convert(video_format, width, height):
            caps = f"video/x-raw,format={video_format},width={width},height={height}"
            _, sink = launch(source(caps, frames=10))
            _, reference = launch(source(f"{caps} ! videoconvert ! video/x-raw,format=BGR",
                                         frames=10))
            got = [pull(sink, 5.0, n, "BGR") for n in range(10)]
            results[video_format] = [bytes(f) for f in got] == [
                bytes(pull(reference, 5.0, n)) for n in range(10)]

        threads = [threading.Thread(target=convert, args=stream) for stream in streams]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(60)
        assert results == {video_format: True for video_format, _, _ in streams}

    def test_frames_kept_while_more_are_converted(self, launch):
        # Converted frames come from a pool of a few buffers: one kept is
        # never handed out again, however many more are converted.
        caps = "video/x-raw,format=I420,width=64,height=48"
        _, sink = launch(source(caps, frames=12))
        _, reference = launch(source(f"{caps} ! videoconvert ! video/x-raw,format=BGR",
                                     frames=12))
        kept = [pull(sink, 5.0, n, "BGR") for n in range(12)]
        assert [bytes(f) for f in kept] == [bytes(pull(reference, 5.0, n)) for n in range(12)]
        assert len({memoryview(f).tobytes() for f in kept}) > 1  # the ball moves

    def test_frames_already_in_the_format_are_not_copied(self, launch):
        sink, push = pushed(launch, "video/x-raw,format=RGB,width=2,height=1,framerate=0/1")
        push(bytes([1, 2, 3, 4, 5, 6, 0, 0]))
        push(bytes([1, 2, 3, 4, 5, 6, 0, 0]))
        as_is, asked = pull(sink, 5.0, 0), pull(sink, 5.0, 1, "RGB")
        assert bytes(as_is) == bytes(asked) and asked.format == "RGB"

    def test_a_planar_buffer_smaller_than_its_caps(self, launch):
        sink, push = pushed(launch, "video/x-raw,format=I420,width=4,height=2,framerate=0/1")
        push(bytes(11))
        push(bytes(16))
        with pytest.raises(ValueError, match="a 4x2 I420 frame does not fit its buffer of 11 "
                                             "bytes"):
            pull(sink, 5.0, 0, "BGR")
        assert pull(sink, 5.0, 1, "BGR").format == "BGR"  # the sink goes on


@needs_gst
class TestBufferRequests:
    """Every way a C consumer can ask: what it gets, or BufferError."""

    @pytest.fixture
    def frames(self, launch):
        _, padded_sink = launch(source("video/x-raw,format=BGR,width=5,height=3", 1))
        _, packed_sink = launch(source("video/x-raw,format=BGRA,width=5,height=3", 1))
        return pull(padded_sink, 5.0, 0), pull(packed_sink, 5.0, 0)

    def test_strided_requests_get_the_rows_as_they_are(self, frames):
        padded, packed = frames
        for flags in (STRIDES, FULL_RO, STRIDES | FORMAT):
            length, ndim, shape, strides, fmt, readonly, _ = buffer_request(padded, flags)
            assert (length, ndim, shape, strides, readonly) == (45, 3, (3, 5, 3), (16, 3, 1), 1)
            assert fmt == (b"B" if flags & FORMAT else None)

    def test_padded_rows_refuse_contiguous_and_unstrided_requests(self, frames):
        padded, _ = frames
        for flags in REFUSED_BY_PADDED_ROWS:
            with pytest.raises(BufferError, match="padded"):
                buffer_request(padded, flags)

    def test_packed_rows_serve_every_read_only_request_in_c_order(self, frames):
        _, packed = frames
        assert buffer_request(packed, SIMPLE)[:5] == (60, 1, None, None, None)
        assert buffer_request(packed, ND)[:4] == (60, 3, (3, 5, 4), None)
        assert buffer_request(packed, C_CONTIGUOUS)[:4] == (60, 3, (3, 5, 4), (20, 4, 1))
        assert buffer_request(packed, ANY_CONTIGUOUS)[3] == (20, 4, 1)
        # Every request points at the same pixels: no copy is made.
        assert len({buffer_request(packed, f)[6] for f in (SIMPLE, ND, FULL_RO)}) == 1

    @pytest.mark.parametrize("flags", REFUSED_BY_EVERY_FRAME)
    def test_writable_and_fortran_requests_are_refused(self, frames, flags):
        for frame in frames:
            with pytest.raises(BufferError):
                buffer_request(frame, flags)

    def test_views_are_read_only(self, frames):
        padded, packed = frames
        with pytest.raises(TypeError):
            memoryview(padded)[0, 0, 0] = 1
        with pytest.raises(TypeError, match="C-contiguous"):
            memoryview(padded).cast("B")
        assert memoryview(packed).cast("B").tobytes() == bytes(packed)


@needs_gst
class TestNumpy:
    def test_arrays_share_the_frames_memory(self, launch):
        numpy = pytest.importorskip("numpy")
        _, sink = launch(source("video/x-raw,format=BGR,width=322,height=31", 2))
        frame = pull(sink, 5.0, 0)
        first, second = numpy.asarray(frame), numpy.asarray(frame)
        assert first.shape == (31, 322, 3) and first.dtype == numpy.uint8
        assert first.strides == (968, 3, 1) and not first.flags.writeable
        assert first.ctypes.data == second.ctypes.data  # no copy
        assert first.tobytes() == bytes(frame)
        with pytest.raises(ValueError):
            first[0, 0, 0] = 1

    # What drawing code does to an array: none of it may reach the buffer.
    WRITES = {
        "item": lambda numpy, frame: numpy.asarray(frame).__setitem__((0, 0), 255),
        "flag": lambda numpy, frame: numpy.asarray(frame).setflags(write=True),
        "out": lambda numpy, frame: numpy.add(numpy.asarray(frame), 1, out=numpy.asarray(frame)),
    }

    @pytest.mark.parametrize("write", WRITES)
    def test_writes_through_numpy_are_refused_and_a_copy_takes_them(self, launch, write):
        numpy = pytest.importorskip("numpy")
        _, sink = launch(source("video/x-raw,format=BGR,width=5,height=3", 1))
        frame = pull(sink, 5.0, 0)
        before = bytes(frame)
        with pytest.raises(ValueError):
            self.WRITES[write](numpy, frame)
        copy = numpy.array(frame)
        self.WRITES[write](numpy, copy)
        assert bytes(frame) == before and copy.flags.writeable


@needs_gst
class TestPullRefuses:
    def test_caps_that_are_not_whole_pixels(self, launch):
        _, packed_yuv = launch(source("video/x-raw,format=UYVY,width=8,height=8", 1))
        with pytest.raises(ValueError, match="UYVY are neither rows of whole pixels nor planes"):
            pull(packed_yuv, 5.0, 0)
        sink, push = pushed(launch, "image/jpeg")
        push(b"\xff\xd8")
        with pytest.raises(ValueError, match="no raw video"):
            pull(sink, 5.0, 0)

    def test_a_buffer_smaller_than_its_caps(self, launch):
        sink, push = pushed(launch, "video/x-raw,format=BGR,width=4,height=2,framerate=0/1")
        push(bytes(12 + 11))
        push(bytes(24))
        with pytest.raises(ValueError, match="4x2 BGR frame with rows 12 bytes apart does not "
                                             "fit its buffer of 23 bytes"):
            pull(sink, 5.0, 0)
        assert bytes(pull(sink, 5.0, 1)) == bytes(24)  # the sink goes on

    def test_elements_that_are_no_appsink(self, launch):
        pipeline, _ = launch(source("video/x-raw", 1), play=False)
        for wrong in (pipeline.gst_pipeline, pipeline.get_by_name("sink").get_static_pad("sink")):
            with pytest.raises(TypeError, match="pull\\(\\) needs an appsink element, not"):
                pull(wrong, 0, 0)


class TestPullArguments:
    """Checks that need no GStreamer: they come before the sink is used."""

    @pytest.mark.parametrize("wrong, says", NOT_APPSINKS)
    def test_objects_without_a_gobject(self, wrong, says):
        with pytest.raises(TypeError, match=f"pull\\(\\) needs an appsink element, {says}$"):
            pull(wrong, 0, 0)

    def test_a_capsule_that_is_not_pygobjects(self):
        # PyGObject's capsules have no name.
        make = ctypes.pythonapi.PyCapsule_New
        make.restype, make.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p,
                                                          ctypes.c_void_p]
        named = type("Named", (), {"__gpointer__": make(id(self), b"other", None)})()
        with pytest.raises(TypeError, match="needs an appsink element, not Named"):
            pull(named, 0, 0)


@needs_gst
class TestPullArgumentValues:
    @pytest.fixture
    def sink(self, launch):
        return launch(source("video/x-raw,format=GRAY8,width=4,height=4", 1))[1]

    @pytest.mark.parametrize("timeout, error, match", BAD_TIMEOUTS)
    def test_bad_timeouts(self, sink, timeout, error, match):
        with pytest.raises(error, match=match):
            pull(sink, timeout, 0)

    @pytest.mark.parametrize("index, error, match", BAD_INDICES)
    def test_bad_indices(self, sink, index, error, match):
        with pytest.raises(error, match=match):
            pull(sink, 0, index)

    @pytest.mark.parametrize("pixel_format, error, match", BAD_PIXEL_FORMATS)
    def test_bad_pixel_formats(self, sink, pixel_format, error, match):
        with pytest.raises(error, match=match):
            pull(sink, 0, 0, pixel_format)

    def test_none_and_timeouts_beyond_gstreamers_clock_wait_for_ever(self, sink):
        # The one frame, then the end of the stream, which ends every wait.
        results = [pull(sink, timeout, 0) for timeout in (None, float("inf"), 1e300, 2**70)]
        assert isinstance(results[0], Frame) and results[1:] == [None] * 3

    def test_signature_and_docstring(self):
        import inspect

        assert str(inspect.signature(pull)) == "(appsink, timeout, index, pixel_format=None)"
        assert pull.__module__ == frame_module.__name__ == "mivelo.stream_reader.frame"
        assert Frame.__module__ == "mivelo.stream_reader.frame"
        assert pull.__doc__.startswith("The appsink's next frame as a Frame")


@needs_gst
class TestLifetime:
    def test_frames_and_views_outlive_their_pipeline(self, launch):
        numpy = optional_numpy()
        pipeline, sink = launch(source("video/x-raw,format=BGR,width=322,height=31", 5))
        frames = [pull(sink, 5.0, i) for i in range(5)]
        copies = [bytes(f) for f in frames]
        views = [memoryview(f) for f in frames]
        arrays = [numpy.asarray(f) if numpy is not None else memoryview(f) for f in frames]
        del sink
        pipeline.close()
        del frames
        gc.collect()
        for copy, view, array in zip(copies, views, arrays):
            assert view.tobytes() == array.tobytes() == copy
        # The last reference goes on another thread.
        worker = threading.Thread(target=lambda: (views.clear(), arrays.clear()))
        worker.start()
        worker.join()
        assert not views and not arrays

    def test_every_buffer_is_released(self):
        """Under GStreamer's leaks tracer: frames, views and arrays of them,
        some dropped on other threads, some after the pipeline closed,
        leave no buffer or sample alive."""
        script = textwrap.dedent("""
            import gc, re, threading, time
            import mivelo.utils.gstreamer
            from gi.repository import Gst
            from mivelo.stream_reader.frame import pull
            from mivelo.utils.gstreamer import Pipeline
            try:
                import numpy
            except ImportError:
                numpy = None
            tracer, = [t for t in Gst.tracing_get_active_tracers()
                       if t.__gtype__.name == "GstLeaksTracer"]
            pipeline = Pipeline.from_launch_string(
                "videotestsrc num-buffers=40 ! video/x-raw,format=BGR,width=33,height=9 "
                "! appsink name=sink sync=false", None)
            sink = pipeline.get_by_name("sink")
            tracer.emit("activity-start-tracking")
            pipeline.set_state(Gst.State.PLAYING)
            kept, threads = [], []
            for i in range(40):
                frame = pull(sink, 5.0, i)
                views = [memoryview(frame), frame]
                if numpy is not None:
                    views.append(numpy.asarray(frame))
                if i % 3 == 0:
                    kept.append(views)
                elif i % 3 == 1:
                    threads.append(threading.Thread(target=views.clear))
                    threads[-1].start()
            del frame, views, sink
            pipeline.close()
            for thread in threads:
                thread.join()
            kept.clear()
            gc.collect()
            time.sleep(0.2)
            text = tracer.emit("activity-get-checkpoint").to_string().replace("\\\\", "")
            created, _, removed = text.partition("objects-removed-list=")
            alive = {}
            entry = re.compile(r"type-name=\\(string\\)(\\w+), address=\\(string\\)(0x[0-9a-f]+)")
            for item in entry.findall(created):
                alive[item] = alive.get(item, 0) + 1
            for item in entry.findall(removed):
                alive[item] = alive.get(item, 0) - 1
            print(sorted({name for (name, _), n in alive.items() if n > 0}))
        """)
        env = dict(os.environ, GST_TRACERS="leaks")
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                              text=True, timeout=60)
        assert done.returncode == 0, done.stderr[-3000:]
        alive = eval(done.stdout.strip().splitlines()[-1])  # a list of type names
        assert not {"GstBuffer", "GstSample", "GstMemory"} & set(alive), alive


@needs_gst
class TestThreads:
    def test_the_wait_releases_the_interpreter_lock(self, launch):
        # While one thread waits in pull(), this one runs Python code and
        # gives the sink the frame that ends the wait. Were the lock held,
        # this thread could not run before the wait timed out.
        pipeline, sink = launch("appsrc name=src format=time caps=video/x-raw,format=GRAY8,"
                                "width=2,height=2,framerate=0/1 ! appsink name=sink")
        waiting = threading.Event()
        result = []

        def wait():
            waiting.set()
            result.append(pull(sink, 20.0, 0))

        worker = threading.Thread(target=wait)
        worker.start()
        waiting.wait()
        time.sleep(0.2)
        pipeline.get_by_name("src").emit("push-buffer", Gst.Buffer.new_wrapped(bytes(8)))
        worker.join()
        assert isinstance(result[0], Frame)

    def test_eight_threads_pull_view_and_drop_frames_at_once(self, launch):
        # A sink each: GStreamer's appsink keeps one flag for all threads
        # waiting on it, so when one of several waiting threads gets its
        # frame, the others are not woken for the frames after it and wait
        # out their timeout (the reader lets one thread read at a time).
        # The frames and views go to a shared heap, from which every
        # thread drops what any thread put there.
        numpy = optional_numpy()
        launch_string = (
            "videotestsrc is-live=true pattern=solid-color foreground-color=0xff102030 "
            "! video/x-raw,format=BGR,width=161,height=9,framerate=1000/1 "
            "! appsink name=sink sync=false max-buffers=4 drop=true")
        sinks = [launch(launch_string)[1] for _ in range(8)]
        expected = bytes([0x30, 0x20, 0x10]) * 161 * 9
        failures, counts, heap = [], [0] * 8, collections.deque()

        def work(n):
            for _ in range(FRAMES_PER_THREAD):
                frame = pull(sinks[n], 10.0, n)
                if frame is None:
                    failures.append(f"thread {n}: no frame")
                    return
                views = [memoryview(frame)]
                if numpy is not None:
                    views.append(numpy.asarray(frame))
                if bytes(frame) != expected or views[-1].tobytes() != expected:
                    failures.append(f"thread {n}: wrong pixels")
                heap.append(views if counts[n] % 2 else frame)
                del frame, views
                while len(heap) > 6:
                    try:
                        heap.popleft()  # often another thread's
                    except IndexError:
                        break
                counts[n] += 1

        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        finally:
            sys.setswitchinterval(interval)
        assert not failures
        assert counts == [FRAMES_PER_THREAD] * 8


# ---------------------------------------------------------------------------
# Every path, checked for leaks (the errors are the tables' above)

PATHS = leaks.Cases(frame_module, model=False)
PULL, FRAME = "pull", "Frame"
FRAMES = ("videotestsrc ! video/x-raw,format=BGR,width=5,height=3 "
          "! appsink name=sink sync=false max-buffers=4")
PUSHED = ("appsrc name=src format=time caps=video/x-raw,format=GRAY8,width=4,height=2,"
          "framerate=0/1 ! appsink name=sink")


def gst_path(id, covers, make, raises=None, match=None, n=2000):
    PATHS.add(id, covers, make, raises=raises, match=match, n=n, fixtures=("launch",),
              marks=needs_gst)


def use_frame(target, launch):
    _, sink = launch(FRAMES)

    def run():
        got = target.pull(sink, 5.0, 3)
        view = memoryview(got)
        view[1, 2, 0], view.tobytes(), bytes(got), repr(got), view.shape, view.strides
        got.width, got.height, got.stride, got.format, got.pts, got.index
        view.release()
    return run, [sink]


def refused_requests(target, launch):
    got = target.pull(launch(FRAMES)[1], 5.0, 0)

    def run():
        for flags in REFUSED_BY_EVERY_FRAME + REFUSED_BY_PADDED_ROWS:
            try:
                buffer_request(got, flags)
            except BufferError:
                continue
            raise AssertionError(f"buffer flags {flags:#x} were served")
    return run, [got]


def pull_pushed(*args, push=None):
    def make(target, launch):
        pipeline, sink = launch(PUSHED)
        src = pipeline.get_by_name("src")

        def run():
            if push is not None:
                src.emit("push-buffer", Gst.Buffer.new_wrapped(push))
            return target.pull(sink, *args)
        return run, [sink, *args]
    return make


def pull_from(get_sink, timeout=0, index=0, pixel_format=None):
    def make(target, launch):
        sink = get_sink(launch)
        args = (sink, timeout, index, pixel_format)
        return (lambda: target.pull(*args)), list(args)
    return make


gst_path("pull, view, copy and read a frame", [PULL, FRAME], use_frame, n=1000)
gst_path("pull times out", PULL, pull_pushed(0, 0))
gst_path("pull of a pushed frame", [PULL, FRAME], pull_pushed(1.0, 0, push=bytes(8)))
gst_path("pull of a buffer too small", PULL, pull_pushed(1.0, 0, push=bytes(7)), ValueError,
         "does not fit its buffer")
# (Not the ball pattern: GStreamer 1.22's videotestsrc corrupts its heap drawing
# the ball into thousands of 8x8 I420 frames.)
PLANAR = ("videotestsrc ! video/x-raw,format=I420,width=8,height=8 "
          "! appsink name=sink sync=false max-buffers=4")
NV12 = ("videotestsrc ! video/x-raw,format=NV12,width=8,height=8 "
        "! appsink name=sink sync=false max-buffers=4")
UYVY = ("videotestsrc ! video/x-raw,format=UYVY,width=8,height=8 "
        "! appsink name=sink sync=false max-buffers=4")


def planes_of(target, launch):
    sink = launch(PLANAR)[1]

    def run():
        got = target.pull(sink, 5.0, 0)
        planes = got.planes
        [bytes(plane) for plane in planes], bytes(got)
        memoryview(planes[1]).release()
    return run, [sink]


gst_path("pull of planar frames and their planes", [PULL, FRAME], planes_of, n=500)
gst_path("pull of packed YUV", PULL, pull_from(lambda launch: launch(UYVY)[1], 5.0),
         ValueError, "neither rows of whole pixels nor planes", n=500)
gst_path("pull of planar frames converted to BGR", [PULL, FRAME],
         pull_from(lambda launch: launch(PLANAR)[1], 5.0, pixel_format="BGR"), n=500)
gst_path("pull of NV12 frames converted by GStreamer", [PULL, FRAME],
         pull_from(lambda launch: launch(NV12)[1], 5.0, pixel_format="RGB"), n=500)
gst_path("buffer requests refused", [PULL, FRAME], refused_requests, n=500)
gst_path("pull of a pipeline", PULL, pull_from(lambda launch: launch(PUSHED)[0].gst_pipeline),
         TypeError, "not Pipeline")
for _value, _says in NOT_APPSINKS:
    PATHS.add(f"pull of {_says[4:]}", PULL, leaks.calling("pull", _value, 0, 0),
              raises=TypeError, match=_says)
for _value, _error, _match in BAD_TIMEOUTS:
    gst_path(f"pull with timeout {_value!r}", PULL,
             pull_from(lambda launch: launch(PUSHED)[1], timeout=_value), _error, _match)
for _value, _error, _match in BAD_INDICES:
    gst_path(f"pull with index {_value!r}", PULL,
             pull_from(lambda launch: launch(PUSHED)[1], index=_value), _error, _match)
for _value, _error, _match in BAD_PIXEL_FORMATS:
    gst_path(f"pull with pixel format {_value!r}", PULL,
             pull_from(lambda launch: launch(PUSHED)[1], pixel_format=_value), _error, _match)

test_every_path_leaks_nothing = PATHS.test()
