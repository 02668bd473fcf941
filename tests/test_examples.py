"""The usage examples in examples/ run and print what they promise."""
import pathlib
import subprocess
import sys

from helpers import needs_gst

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def run_example(name, *args):
    result = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


@needs_gst
def test_http_stream_reads_ten_frames(stream_server):
    lines = run_example("http_stream.py", stream_server.url("/stream.mjpg"))
    assert lines[:10] == [f"frame {n}: 320x240" for n in range(1, 11)]
    assert lines[10] == "10 frames; decoding started: True"


@needs_gst
def test_read_frames_prints_each_frame_and_the_readers_account(stream_server):
    lines = run_example("read_frames.py", stream_server.url("/stream.mjpg"), "5")
    assert [line.split(",")[0] for line in lines[:5]] == [
        f"frame {n}: 320x240 BGR" for n in range(5)]
    assert all(0 < float(line.rsplit(" ", 1)[1]) < 255 for line in lines[:5])
    assert lines[5].startswith("5 frames, ") and lines[5].endswith(" dropped, 0 reconnects")


@needs_gst
def test_custom_pipeline_refuses_a_string_without_url_and_reads_a_grey_frame(stream_server):
    lines = run_example("custom_pipeline.py", stream_server.url("/stream.mjpg"))
    assert lines[0].startswith("refused as expected: Invalid pipeline format:")
    assert lines[1] == f"first frame: {320 * 240} bytes"


def test_runtime_options_are_checked_and_waits_bounded():
    lines = run_example("runtime_options.py")
    assert lines[:4] == [
        "{'max_fps': 12.5, 'reconnect': True}",
        "refused: Option 'max_fps' should be of type '<class 'float'>', got '<class 'str'>'",
        "refused: Unknown option 'colour'",
        "done in time: True",
    ]
    assert lines[4].startswith("timed out: Timer of 0.05 seconds timed out at ")


@needs_gst
def test_many_cameras_in_one_thread_and_in_one_loop(stream_server):
    urls = [stream_server.url(f"/stream.mjpg?camera={n}") for n in range(3)]
    for way in ([], ["--asyncio"]):
        lines = run_example("many_cameras.py", *way, "5", *urls)
        assert lines == [f"camera {n}: 5 frames" for n in range(3)]
