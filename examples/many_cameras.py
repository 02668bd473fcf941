"""Read many cameras in one thread, or in one asyncio event loop.

    python3 examples/many_cameras.py [--asyncio] FRAMES URL [URL ...]

Reads FRAMES frames from each camera, all of them together, and prints
each camera's count at the end. A camera that gives up (three failed
attempts in a row) is reported and the others go on.
"""
import asyncio
import sys
from typing import Dict, List

from mivelo.stream_reader import ReaderSet, StreamFailedError, StreamReader

OPTIONS = {"max_attempts": 3}


def one_thread(urls: List[str], wanted: int) -> Dict[str, int]:
    counts = {url: 0 for url in urls}
    with ReaderSet(StreamReader(url, OPTIONS) for url in urls) as cameras:
        while cameras:
            try:
                for reader, _frame in cameras:
                    counts[reader.url] += 1
                    if counts[reader.url] == wanted:
                        cameras.remove(reader)
                        reader.close()
            except StreamFailedError as failure:
                print(f"gave up: {failure}", file=sys.stderr)
    return counts


async def one_loop(urls: List[str], wanted: int) -> Dict[str, int]:
    counts = {url: 0 for url in urls}

    async def watch(url: str) -> None:
        try:
            with StreamReader(url, OPTIONS) as reader:
                async for _frame in reader:
                    counts[url] += 1
                    if counts[url] == wanted:
                        break
        except StreamFailedError as failure:
            print(f"gave up: {failure}", file=sys.stderr)

    await asyncio.gather(*(watch(url) for url in urls))
    return counts


def main(argv: List[str]) -> int:
    use_asyncio = "--asyncio" in argv
    args = [arg for arg in argv if arg != "--asyncio"]
    wanted, urls = int(args[0]), args[1:]
    if use_asyncio:
        counts = asyncio.run(one_loop(urls, wanted))
    else:
        counts = one_thread(urls, wanted)
    for n, url in enumerate(urls):
        print(f"camera {n}: {counts[url]} frames")
    return 0 if all(count == wanted for count in counts.values()) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
