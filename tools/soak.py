"""Long runs of the Python layer, too long for the test suite; run by hand.

    VENV/bin/python tools/soak.py threads [--runs 200]
    VENV/bin/python tools/soak.py memory [--cycles 2000]

``threads``: eight threads each run build(), pull_sample(0.01) and close() 25
times on one CustomPipelineFactory, in a fresh process per run (where every
use of a PyGObject class is a first use); counts the runs that crashed, that
printed a GStreamer or GLib CRITICAL, and that raised anything.

``memory``: the resident set and the heap in use across build and close
cycles, and across pipelines dropped without close(); see ``memory --help``.

VENV is a virtual environment with the package installed, such as the .venv
that scripts/legs/10-release.sh builds.
"""
import argparse
import collections
import subprocess
import sys
import textwrap
import time

THREADS_RUN = textwrap.dedent("""
    import threading
    from mivelo.pipeline_factories.custom import CustomPipelineFactory

    factory = CustomPipelineFactory(
        "videotestsrc is-live=true name=buffer_src ! videoconvert ! appsink name=main_sink "
        'fakesrc name="s{url}" ! fakesink', url="x", pipeline_watcher=lambda *args: None,
        on_complete=None)
    errors = []

    def work():
        try:
            for _ in range(25):
                pipeline = factory.build()
                pipeline.pull_sample(0.01)
                pipeline.close()
        except BaseException as exc:
            errors.append(repr(exc))

    threads = [threading.Thread(target=work) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("raised:", errors)
""")


def soak_threads(runs):
    outcomes = collections.Counter()
    started = time.monotonic()
    for run in range(1, runs + 1):
        result = subprocess.run([sys.executable, "-c", THREADS_RUN], capture_output=True,
                                text=True, timeout=300)
        if result.returncode < 0:
            outcome = f"killed by signal {-result.returncode}"
        elif result.returncode != 0:
            outcome = f"exit status {result.returncode}"
        elif "raised: []" not in result.stdout:
            outcome = "raised"
        elif "CRITICAL" in result.stderr:
            outcome = "printed a CRITICAL"
        else:
            outcome = "clean"
        outcomes[outcome] += 1
        if outcome != "clean":
            print(f"run {run}: {outcome}: {(result.stdout + result.stderr).strip()[:300]}")
    print(f"{runs} runs in {time.monotonic() - started:.0f} s: "
          + ", ".join(f"{count} {outcome}" for outcome, count in outcomes.most_common()))
    return outcomes["clean"] == runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    threads = commands.add_parser("threads", help="the eight-thread build/pull/close run")
    threads.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    if args.command == "threads":
        sys.exit(0 if soak_threads(args.runs) else 1)


if __name__ == "__main__":
    main()
