"""Stand-in for the GLib namespace."""
from gi.repository._standin import module_getattr


class Error(RuntimeError):
    def __init__(self, message="", domain="", code=0):
        super().__init__(message)
        self.message, self.domain, self.code = message, domain, code


__getattr__ = module_getattr(__name__)
