"""Model of mivelo.utils.timing: Timeout, the loop guard."""
from time import time

from mivelo import logger
from models import docstring as _docstring


@_docstring("This module is intended to be used as such:\n"
            "    >>> timeout = Timeout(300)\n"
            "    >>> while timeout:\n"
            "    >>>     # Do things\n"
            "    >>>     pass\n"
            "    The timeout object will return false after the alloted time, ending the\n"
            "    loop. This can be useful for tests.\n"
            "    ")
class Timeout:
    @_docstring("\n"
                "        :param time_seconds: How long until the timeout returns False for bool()\n"
                "        :param print_timeout: If you want a printout when the timer has timed\n"
                "        out\n"
                "        :param raise_error: If you want the timer to raise an error if bool()\n"
                "        ever returns false\n"
                "        ")
    def __init__(self, time_seconds, raise_error=True, print_timeout=False):
        self.start = time()
        self.time_seconds = time_seconds
        self.raise_error = raise_error
        self.print_timeout = print_timeout

    @_docstring("Resets the timeout counter, making the new start time the current\n"
                "        time.\n"
                "        ")
    def reset(self):
        self.start = time()

    def __bool__(self):
        still_going = time() - self.start < self.time_seconds
        if not still_going and self.print_timeout:
            logger.warning(f"Timer timed out! Time: {time() - self.start}")
        if not still_going and self.raise_error:
            raise TimeoutError(f"Timer of {self.time_seconds} seconds timed out at "
                               f"{time() - self.start} seconds!")
        return still_going
