"""Model of mivelo.utils.timing: Timeout, the loop guard."""
from time import time

from mivelo import logger


class Timeout:
    """This module is intended to be used as such:
    >>> timeout = Timeout(300)
    >>> while timeout:
    >>>     # Do things
    >>>     pass
    The timeout object will return false after the alloted time, ending the
    loop. This can be useful for tests.
    """

    def __init__(self, time_seconds, raise_error=True, print_timeout=False):
        """
        :param time_seconds: How long until the timeout returns False for bool()
        :param print_timeout: If you want a printout when the timer has timed
        out
        :param raise_error: If you want the timer to raise an error if bool()
        ever returns false
        """
        self.start = time()
        self.time_seconds = time_seconds
        self.raise_error = raise_error
        self.print_timeout = print_timeout

    def reset(self):
        """Resets the timeout counter, making the new start time the current
        time.
        """
        self.start = time()

    def __bool__(self):
        still_going = time() - self.start < self.time_seconds
        if not still_going and self.print_timeout:
            logger.warning(f"Timer timed out! Time: {time() - self.start}")
        if not still_going and self.raise_error:
            raise TimeoutError(f"Timer of {self.time_seconds} seconds timed out at "
                               f"{time() - self.start} seconds!")
        return still_going
