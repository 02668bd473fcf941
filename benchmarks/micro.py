"""Per-call cost of the extension modules against their plain-Python models.

Run by run.py in a child process pinned to one CPU. Each row times the
extension module and its model (models/ at the repository's root) on the same input,
interleaved: every round measures an empty statement and each variant, the
order reversed every other round, and each measurement is the best of a few
timeit runs. A row reports the median net cost (minus the empty statement)
over the rounds and the median of the per-round ratios, so that a burst of
load from elsewhere moves both sides of a ratio together.
"""
import argparse
import json
import os
import statistics
import sys
import timeit

# models/ is imported as the package `models` from the repository's root,
# appended so that mivelo is still the installed package.
sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

URL = "http://127.0.0.1:8080/stream.mjpg"
LAUNCH = ('souphttpsrc location="{url}" name=buffer_src ! decodebin ! videoconvert '
          "! appsink name=main_sink")


def _options(count):
    """`count` supported options of assorted types, and values that pass.

    The option names are interned, as names written as literals in the
    caller's code are, so both mappings hold the same key objects.
    """
    kinds = [(int, 1), (float, 2.5), (str, "x"), (bool, True), ((int, float), 3)]
    supported, supplied = {}, {}
    for i in range(count):
        kind, value = kinds[i % len(kinds)]
        name = sys.intern(f"option_{i}")
        supported[name] = kind
        supplied[name] = value
    return supported, supplied


def rows():
    """The rows, each with the statement and namespace of every variant.

    Variant "cpp" is the extension module, "py" its model and "ref" (where
    present) the reference the target is stated against instead of the model.
    """
    import mivelo.utils.gstreamer  # noqa: F401  (selects the GStreamer version first)
    import fakes
    import mivelo.pipeline_factories.base as base
    from mivelo.errors import InvalidRuntimeOptionError
    from mivelo.pipeline_factories import custom, http
    from mivelo.stream_reader import tunables
    from mivelo.utils import timing
    from time import time
    from models import custom as model_custom
    from models import http as model_http
    from models import timing as model_timing
    from models import tunables as model_tunables

    # build() with a fake pipeline: the same fakes in module and model, and a
    # decoder stage that does nothing (the base class is shared by both).
    for module in (http, model_http, custom, model_custom):
        module.Pipeline = fakes.FakePipeline
        module.Gst = fakes.FAKE_GST
    base.PipelineFactory._set_up_decoder = fakes.no_decoder

    supported, supplied50 = _options(50)
    supplied5 = dict(list(supplied50.items())[:5])
    unknown = {"no_such_option": 1}

    def ns(**names):
        return names

    out = []

    def row(key, label, target, stmt, cpp, py, ref=None, ref_stmt=None, floors=()):
        variants = {"cpp": (stmt, cpp), "py": (stmt, py)}
        if ref is not None:
            variants["ref"] = (ref_stmt, ref)
        out.append({"key": key, "label": label, "target": target, "variants": variants,
                    "floors": list(floors)})

    row("bool", "bool(Timeout(1e9)) while running", 1.3, "bool(t)",
        ns(t=timing.Timeout(1e9)), ns(t=model_timing.Timeout(1e9)),
        ref=ns(time=time), ref_stmt="time()", floors=["c_truth_test", "clock"])
    row("timeout", "Timeout(1e9)", 0.6, "Timeout(1e9)",
        ns(Timeout=timing.Timeout), ns(Timeout=model_timing.Timeout),
        floors=["plain_instance", "clock"])
    for count, supplied in ((0, {}), (5, supplied5), (50, supplied50)):
        row(f"tunables{count}", f"check_tunables, {count} valid options", 0.4,
            "check_tunables(supplied, supported)",
            ns(check_tunables=tunables.check_tunables, supplied=supplied, supported=supported),
            ns(check_tunables=model_tunables.check_tunables, supplied=supplied,
               supported=supported))
    raising = ("try:\n    check_tunables(supplied, supported)\n"
               "except InvalidRuntimeOptionError:\n    pass")
    row("tunables_unknown", "check_tunables, one unknown option (raises)", 0.6, raising,
        ns(check_tunables=tunables.check_tunables, supplied=unknown, supported=supported,
           InvalidRuntimeOptionError=InvalidRuntimeOptionError),
        ns(check_tunables=model_tunables.check_tunables, supplied=unknown, supported=supported,
           InvalidRuntimeOptionError=InvalidRuntimeOptionError))
    make_http = "HTTPPipelineFactory(url=url, pipeline_watcher=watcher, on_complete=None)"
    row("http_init", "HTTPPipelineFactory(...)", 0.75, make_http,
        ns(HTTPPipelineFactory=http.HTTPPipelineFactory, url=URL, watcher=fakes.watcher),
        ns(HTTPPipelineFactory=model_http.HTTPPipelineFactory, url=URL, watcher=fakes.watcher),
        floors=["base_init"])
    make_custom = ("CustomPipelineFactory(launch, url=url, pipeline_watcher=watcher, "
                   "on_complete=None)")
    row("custom_init", "CustomPipelineFactory(...)", 0.75, make_custom,
        ns(CustomPipelineFactory=custom.CustomPipelineFactory, launch=LAUNCH, url=URL,
           watcher=fakes.watcher),
        ns(CustomPipelineFactory=model_custom.CustomPipelineFactory, launch=LAUNCH, url=URL,
           watcher=fakes.watcher),
        floors=["base_init"])
    row("http_build", "HTTPPipelineFactory.build(), fake Pipeline", 0.75, "factory.build()",
        ns(factory=http.HTTPPipelineFactory(url=URL, pipeline_watcher=fakes.watcher,
                                            on_complete=None)),
        ns(factory=model_http.HTTPPipelineFactory(url=URL, pipeline_watcher=fakes.watcher,
                                                 on_complete=None)),
        floors=["http_build_calls"])
    row("custom_build", "CustomPipelineFactory.build(), fake Pipeline", 0.75, "factory.build()",
        ns(factory=custom.CustomPipelineFactory(LAUNCH, url=URL, pipeline_watcher=fakes.watcher,
                                                on_complete=None)),
        ns(factory=model_custom.CustomPipelineFactory(LAUNCH, url=URL,
                                                     pipeline_watcher=fakes.watcher,
                                                     on_complete=None)),
        floors=["custom_build_calls"])
    return out


def floors():
    """Reference statements: costs that the extension modules cannot avoid.

    Each entry is two statements whose difference is the floor named, or
    four, a, b, c, d, for (a - b) - (c - d).
    """
    import operator
    from time import time

    import mivelo.utils.gstreamer  # noqa: F401
    import fakes
    from mivelo.pipeline_factories.base import _APPSINK_PROPERTIES, PipelineFactory
    from models import http as model_http

    class PyBool:
        def __bool__(self):
            return True

    class PyInit:
        def __init__(self, time_seconds, raise_error=True, print_timeout=False):
            pass

    class Plain:
        pass

    def function(a, b):
        pass

    g = {"time": time, "b": PyBool(), "PyInit": PyInit, "f": function, "len": len,
         "call": getattr(operator, "call", None), "t": (), "PipelineFactory": PipelineFactory,
         "url": URL, "x": 1.5, "Plain": Plain, "P": fakes.FakePipeline, "w": fakes.watcher,
         "props": _APPSINK_PROPERTIES, "N": "buffer_src", "decoder": fakes.no_decoder,
         "factory": model_http.HTTPPipelineFactory(url=URL, pipeline_watcher=fakes.watcher,
                                                   on_complete=None),
         "PLAYING": fakes.FAKE_GST.State.PLAYING, "launch": LAUNCH}
    out = {
        # bool(x) reaching a __bool__ that only returns True.
        "truth_test_dispatch": ("bool(b)", "pass"),
        # Instance creation with __init__ dispatch (3 parameters, 2 defaults).
        "init_dispatch": ("PyInit(1e9)", "pass"),
        "clock": ("time()", "pass"),
        # The base class built directly: what a factory's construction costs
        # before any work of its own.
        "base_init": ("PipelineFactory(url=url, max_framerate=None, on_complete=None)", "pass"),
        # bool(x) reaching a truth test written in C (float's): the dispatch
        # that any truth test pays before its own work.
        "c_truth_test": ("bool(x)", "pass"),
        # Making and freeing an instance of a class without __init__.
        "plain_instance": ("Plain()", "pass"),
        # What build() calls on the fake pipeline, called from Python with
        # every global and attribute looked up beforehand: the callees' own
        # cost, which any build() pays.
        "http_build_calls": (
            "p = P(url)\n"
            "p.add_bus_watch(w, p)\n"
            "p.appsink = p.new_element('appsink', properties=props)\n"
            "s = p.new_element('souphttpsrc', properties={'location': url}, name=N)\n"
            "decoder(factory, s, s.get_static_pad('src'), p)\n"
            "p.set_state(PLAYING)", "pass"),
        "custom_build_calls": (
            "p = P.from_launch_string(launch, url)\n"
            "p.add_bus_watch(w, p)\n"
            "k = p.get_by_name('main_sink')\n"
            "for name, value in props.items():\n"
            "    k.set_property(name, value)\n"
            "p.appsink = k\n"
            "p.get_by_name(N).get_static_pad('src')\n"
            "p.set_state(PLAYING)", "pass"),
    }
    if g["call"] is not None:
        # A Python function called from C (operator.call) rather than from
        # Python, less what operator.call adds to a C function.
        out["python_call_from_c"] = ("call(f, 1, 2)", "f(1, 2)", "call(len, t)", "len(t)")
    return out, g


def measure_floors(rounds, repeat, seconds):
    pairs, g = floors()
    stmts = sorted({s for pair in pairs.values() for s in pair})
    numbers = {s: _calibrate(s, g, seconds) for s in stmts}
    samples = {s: [] for s in stmts}
    for r in range(rounds):
        for s in (stmts if r % 2 == 0 else stmts[::-1]):
            samples[s].append(min(_time(s, g, numbers[s]) for _ in range(repeat)) * 1e9)
    result = {}
    for name, pair in pairs.items():
        if len(pair) == 2:
            values = [a - b for a, b in zip(samples[pair[0]], samples[pair[1]])]
        else:
            values = [(a - b) - (c - d) for a, b, c, d in
                      zip(*(samples[s] for s in pair))]
        result[name] = statistics.median(values)
    return result


def check_models():
    """The models must do what the modules do on the benchmark's inputs."""
    import mivelo.utils.gstreamer  # noqa: F401
    from mivelo.errors import InvalidRuntimeOptionError
    from mivelo.stream_reader import tunables
    from models import tunables as model_tunables

    supported, supplied = _options(50)
    for bad in ({"no_such_option": 1}, {"option_0": "text"}, {"option_4": "text"}):
        messages = []
        for check in (tunables.check_tunables, model_tunables.check_tunables):
            try:
                check(bad, supported)
            except InvalidRuntimeOptionError as exc:
                messages.append(str(exc))
        if len(messages) != 2 or messages[0] != messages[1]:
            raise AssertionError(f"the model of check_tunables differs: {messages}")
    assert tunables.check_tunables(supplied, supported) is None
    assert model_tunables.check_tunables(supplied, supported) is None

    from mivelo.utils import timing
    from models import timing as model_timing
    messages = []
    for module in (timing, model_timing):
        clock = module.time
        try:
            module.time = lambda: 100.0
            timeout = module.Timeout(5)
            module.time = lambda: 106.5
            assert bool(module.Timeout(1e9))
            try:
                bool(timeout)
            except TimeoutError as exc:
                messages.append(str(exc))
        finally:
            module.time = clock
    if len(messages) != 2 or messages[0] != messages[1]:
        raise AssertionError(f"the model of Timeout differs: {messages}")

    rows()  # binds the fakes
    from mivelo.pipeline_factories import custom, http
    from models import custom as model_custom
    from models import http as model_http

    class Text(str):
        pass

    unquoted = "souphttpsrc location={url} name=buffer_src ! appsink name=main_sink"
    constructions = [
        (http.HTTPPipelineFactory, model_http.HTTPPipelineFactory,
         [((), {"url": url}) for url in (URL, None, b"x", Text("x"), "a b")]),
        (custom.CustomPipelineFactory, model_custom.CustomPipelineFactory,
         [((launch,), {"url": url}) for launch, url in [
             (LAUNCH, URL), (LAUNCH, "a b"), (LAUNCH, 'a"b'), (LAUNCH, "'abc"),
             (LAUNCH, "a\\b"), (LAUNCH, "a\nb"), (LAUNCH, None), (LAUNCH, 5),
             (unquoted, URL), (unquoted, "'abc"), (unquoted, "a b"), (unquoted, "a'b"),
             ("location='{url}'", "a b"), ("no field", URL), ("{url} {other}", URL),
             (None, URL), ("{url!r}", "a"), ('a="x {url}"', "b c"), ("{{url}} {url}", "x"),
         ]]),
    ]
    for real, model, cases in constructions:
        for args, kwargs in cases:
            kwargs = dict(kwargs, pipeline_watcher=print, on_complete=None)
            a, b = _outcome(real, *args, **kwargs), _outcome(model, *args, **kwargs)
            if a != b:
                raise AssertionError(f"the model of {real.__name__} differs on {args} {kwargs}: "
                                     f"{b}, not {a}")
            if a[0] == "made":
                pa, pb = _outcome(a[1].build), _outcome(b[1].build)
                if pa != pb:
                    raise AssertionError(f"the model of {real.__name__}.build() differs on "
                                         f"{args} {kwargs}: {pb}, not {pa}")


def _outcome(fn, *args, **kwargs):
    """What a call gives, in terms that compare between module and model:
    the error's type and text, or the attributes of what was made (with the
    object, for a further call)."""
    try:
        made = fn(*args, **kwargs)
    except Exception as error:  # noqa: B902 (any error is an outcome)
        return ("raised", type(error).__name__, str(error))
    return ("made", _Made(made))


class _Made:
    """An object made by a call; equal to another when their attributes are."""

    def __init__(self, obj):
        self.obj, self.state = obj, dict(vars(obj))

    def __getattr__(self, name):
        return getattr(self.obj, name)

    def __eq__(self, other):
        return self.state.keys() == other.state.keys() and all(
            v is other.state[k] or v == other.state[k] for k, v in self.state.items())

    def __repr__(self):
        return repr(self.state)


def _time(stmt, namespace, number):
    return timeit.Timer(stmt, globals=namespace).timeit(number) / number


def _calibrate(stmt, namespace, seconds):
    number = 1
    while True:
        elapsed = _time(stmt, namespace, number) * number
        if elapsed >= seconds / 4 or number >= 1 << 24:
            return max(1, int(number * seconds / max(elapsed, 1e-9)))
        number *= 4


def measure(row, rounds, repeat, seconds):
    variants = dict(row["variants"])
    variants["empty"] = ("pass", {})
    numbers = {name: _calibrate(stmt, g, seconds) for name, (stmt, g) in variants.items()}
    samples = {name: [] for name in variants}
    names = list(variants)
    for r in range(rounds):
        for name in (names if r % 2 == 0 else names[::-1]):
            stmt, g = variants[name]
            best = min(_time(stmt, g, numbers[name]) for _ in range(repeat))
            samples[name].append(best * 1e9)
    net = {name: [s - e for s, e in zip(samples[name], samples["empty"])]
           for name in variants if name != "empty"}
    against = "ref" if "ref" in net else "py"
    ratios = sorted(c / p for c, p in zip(net["cpp"], net[against]))
    return {
        "key": row["key"], "label": row["label"], "target": row["target"],
        "floors": row["floors"],
        "against": "time()" if against == "ref" else "python",
        "ns": {name: statistics.median(values) for name, values in net.items()},
        "empty_ns": statistics.median(samples["empty"]),
        "ratio": statistics.median(ratios),
        # The middle half of the per-round ratios: how far noise moved them.
        "ratio_range": [ratios[len(ratios) // 4], ratios[(3 * len(ratios)) // 4]],
        "ratio_py": statistics.median(c / p for c, p in zip(net["cpp"], net["py"])),
    }


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=0.002,
                        help="length of one timeit run")
    parser.add_argument("--only", nargs="*", help="row keys to run")
    args = parser.parse_args(argv)
    check_models()
    for row in rows():
        if args.only and row["key"] not in args.only:
            continue
        print(json.dumps(measure(row, args.rounds, args.repeat, args.seconds)), flush=True)
    if not args.only or "floors" in args.only:
        print(json.dumps({"key": "floors",
                          "ns": measure_floors(args.rounds, args.repeat, args.seconds)}),
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
