"""Read frames with the stream reader, from a camera, a file or a launch string.

    python3 examples/read_frames.py http://camera.local/video.mjpg [FRAMES]
    python3 examples/read_frames.py rtsp://camera.local/stream
    python3 examples/read_frames.py /videos/clip.mp4

Prints the number, size, pixel format and mean brightness of each of the
first FRAMES frames (default 10), then what the reader did. A stream is
given up after three failed attempts in a row; a file ends by itself.
"""
import sys
from typing import Any, Dict

from mivelo.stream_reader import Frame, StreamFailedError, StreamReader

OPTIONS: Dict[str, Any] = {"max_attempts": 3, "read_timeout": 10.0}


def brightness(frame: Frame) -> float:
    """Mean value of the frame's bytes (the rows' padding left out)."""
    pixels = bytes(frame)
    return sum(pixels) / len(pixels)


def main(source: str, count: int) -> int:
    try:
        with StreamReader(source, OPTIONS) as reader:
            for frame in reader:
                print(f"frame {frame.index}: {frame.width}x{frame.height} {frame.format}, "
                      f"brightness {brightness(frame):.0f}")
                if frame.index + 1 >= count:
                    break
            stats = reader.stats
    except (StreamFailedError, TimeoutError) as error:
        print(f"no frames: {error}", file=sys.stderr)
        return 1
    print(f"{stats.frames} frames, {stats.dropped} dropped, {stats.reconnects} reconnects")
    return 0 if stats.frames else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "http://127.0.0.1:8080/stream.mjpg",
                  int(sys.argv[2]) if len(sys.argv) > 2 else 10))
