"""The quick-start demo (tools/demo.py) reads through the stream reader,
reports what arrives and saves the first frame as a PNG; a stream that fails
ends it with one line and exit code 1."""
import pathlib
import struct
import subprocess
import sys
import zlib

from helpers import REAL_GST, needs_gst

if REAL_GST:
    from stream_server import closed_port, make_media

pytestmark = needs_gst

DEMO = pathlib.Path(__file__).resolve().parents[1] / "tools" / "demo.py"


def demo(*args):
    return subprocess.run([sys.executable, str(DEMO), *args], capture_output=True, text=True,
                          timeout=120)


def png_pixels(path):
    """(width, height, colour type, rows) of a PNG that the demo wrote."""
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, at = {}, 8
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        assert struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0] == \
            zlib.crc32(kind + body)
        chunks[kind] = body
        at += 12 + length
    width, height, depth, colour, *_ = struct.unpack(">IIBBBBB", chunks[b"IHDR"])
    assert depth == 8 and b"IEND" in chunks
    return width, height, colour, zlib.decompress(chunks[b"IDAT"])


def test_the_local_stream_is_read_and_its_first_frame_saved(tmp_path):
    png = tmp_path / "first.png"
    done = demo("--seconds", "1.5", "--png", str(png))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("local test stream: http://127.0.0.1:")
    assert lines[1].startswith("reading http://127.0.0.1:") and lines[1].endswith(" for 1.5 s")
    assert lines[2].startswith("first frame after ") and lines[2].endswith(": 320x240 BGR")
    assert lines[-2].startswith("received ") and lines[-1] == f"saved the first frame to {png}"
    width, height, colour, rows = png_pixels(png)
    assert (width, height, colour) == (320, 240, 2)
    assert len(rows) == 240 * (1 + 320 * 3)
    # videotestsrc's white ball on black, in red, green, blue order.
    assert min(rows[1:]) < 40 and max(rows) > 200


def test_a_file_is_read_to_its_end(tmp_path):
    video = tmp_path / "clip.mp4"
    video.write_bytes(make_media("mp4", width=322, height=182, frames=20, fps=25))
    done = demo(str(video), "--seconds", "30", "--png", str(tmp_path / "f.png"))
    assert done.returncode == 0, done.stderr
    assert "the stream ended" in done.stdout.splitlines()
    assert png_pixels(tmp_path / "f.png")[:2] == (322, 182)


def test_a_stream_that_keeps_failing_ends_the_demo_with_one_line(tmp_path):
    url = f"http://127.0.0.1:{closed_port()}/stream.mjpg"
    done = demo(url, "--png", str(tmp_path / "none.png"))
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1].startswith(
        f"demo: error: gave up on {url} after 2 failed attempts: ")
    assert not (tmp_path / "none.png").exists()
