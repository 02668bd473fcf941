"""The leak check's own checks (tests/leaks.py): every callable of the
extension modules is driven by some registered case, and the measurements
see a leak.  The test files that register cases are imported here, so that
the registry is whole whichever tests run."""
import leaks
import test_core
import test_custom_factory  # noqa: F401  (registers cases)
import test_errors  # noqa: F401
import test_frame  # noqa: F401
import test_http_factory  # noqa: F401
import test_timing  # noqa: F401
import test_tunables
import test_waker  # noqa: F401


def test_every_callable_is_driven():
    leaks.assert_every_callable_is_driven(test_core.FUNCTION_TYPE)


def test_the_check_sees_a_leak():
    leaks.assert_the_check_sees_a_leak(
        lambda: test_tunables.check_tunables({"size": 1}, test_tunables.SUPPORTED))
