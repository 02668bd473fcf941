"""Check a reader's runtime options before using them, and bound a wait.

    python3 examples/runtime_options.py

check_tunables() raises InvalidRuntimeOptionError for the first option that
is unknown or of the wrong type; Timeout stays true for a number of seconds,
so a polling loop cannot run forever.
"""
import sys
import threading
import time
from typing import Any, Dict, Mapping

from mivelo.errors import InvalidRuntimeOptionError
from mivelo.stream_reader.tunables import check_tunables
from mivelo.utils.timing import Timeout

SUPPORTED: Dict[str, type] = {"max_fps": float, "reconnect": bool, "name": str}


def checked_options(options: Mapping[str, Any]) -> Dict[str, Any]:
    check_tunables(options, SUPPORTED)
    return dict(options)


def wait_for(done: threading.Event, seconds: float) -> bool:
    """Polls `done` until it is set or `seconds` have passed."""
    timeout = Timeout(seconds, raise_error=False)
    while timeout:
        if done.is_set():
            return True
        time.sleep(0.01)
    return False


def main() -> int:
    print(checked_options({"max_fps": 12.5, "reconnect": True}))
    for bad in ({"max_fps": "fast"}, {"colour": "red"}):
        try:
            checked_options(bad)
        except InvalidRuntimeOptionError as error:
            print(f"refused: {error}")
    done = threading.Event()
    threading.Timer(0.05, done.set).start()
    print("done in time:", wait_for(done, 5.0))
    try:
        wait = Timeout(0.05)  # raises once the time is up
        while wait:
            time.sleep(0.01)
    except TimeoutError as error:
        print(f"timed out: {error}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
