"""Stand-in for the GLib namespace."""
from gi.repository._standin import module_getattr


class Error(RuntimeError):
    def __init__(self, message="", domain="", code=0):
        super().__init__(message)
        self.message, self.domain, self.code = message, domain, code


class ThreadPool:
    """GLib's thread pools, which nothing here ever starts (the fork check
    asks how many threads they keep)."""

    @staticmethod
    def get_num_unused_threads():
        return 0


__getattr__ = module_getattr(__name__)
