"""Methods of the modules' classes assigned, patched with mock, deleted or
overridden in subclasses, and a __new__ of their own: each takes effect on an
extension module exactly as on its model.  The C++ runs construction and
truth tests through slots of its own while the classes hold their own
methods; these changes are what must take them off that path.

Each scenario (class_changes.py) runs in a fresh interpreter, since the
changes stay behind in the classes, which the rest of the suite uses."""
import ast
import os
import subprocess
import sys

import pytest

import class_changes

HERE = os.path.dirname(os.path.abspath(__file__))


def run_scenario(name):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p or os.getcwd() for p in sys.path))
    done = subprocess.run([sys.executable, os.path.join(HERE, "class_changes.py"), name],
                          cwd=HERE, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    return ast.literal_eval(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name", sorted(class_changes.SCENARIOS))
def test_change_takes_effect_as_on_the_model(name):
    module_record, model_record = run_scenario(name)
    assert module_record == model_record
    assert module_record  # the scenario observed something
