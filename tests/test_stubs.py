"""The type stubs in stubs/pelmora/ agree with the compiled module.

Three checks, each of which fails when a stub drifts from the runtime:

- mypy's stubtest compares every name, parameter, default, @final and
  __all__ of the stubs with the imported module;
- real objects are checked against what stubtest cannot see: the declared
  types of properties and return values, and which properties have setters;
- mypy accepts a snippet that uses the library correctly (which also runs)
  and reports exactly the expected errors in one that misuses it.
"""

import ast
import importlib.util
import os
import re
import runpy
import shutil
import subprocess
import sys
import types
from datetime import datetime, timedelta
from pathlib import Path

import pytest

import pelmora

try:
    import pandas
except ImportError:  # not installed, or no numpy to import it with
    pandas = None

REPO = Path(__file__).resolve().parents[1]
STUBS = REPO / "stubs"
MODULE_DIR = Path(pelmora.__file__).resolve().parent

requires_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None,
    reason=f"mypy (with mypy.stubtest) is not installed for {sys.executable}",
)


def _python(args, *, env_extra, cwd, timeout=300):
    """Run this interpreter on `args`, seeing only the module under test."""
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    env["PYTHONPATH"] = str(MODULE_DIR)
    env.update(env_extra)
    # -P: the working directory is not put on sys.path.
    return subprocess.run(
        [sys.executable, "-P", *args],
        env=env,
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# ---------------------------------------------------------------------------
# stubtest

# The submodules of pelmora are attributes of the module, not entries of
# sys.modules, so `import pelmora.utils` fails; the stubs describe each in a
# private stub module (pelmora/_utils.pyi for pelmora.utils) that
# pelmora/__init__.pyi re-exports.  stubtest imports every stub module by its
# dotted name: enter each runtime submodule there under its stub's name
# before it runs, and nothing else.  No other runtime difference needs an
# allowlist.
STUBTEST = """
import sys
import types

import pelmora


def alias(module):
    for name in module.__all__:
        value = getattr(module, name)
        if isinstance(value, types.ModuleType):
            sys.modules[f"pelmora._{name}"] = value
            alias(value)


alias(pelmora)

from mypy.stubtest import main

sys.exit(main())
"""


def _stub_files(stubs=STUBS):
    return sorted((stubs / "pelmora").rglob("*.pyi"))


def _public_paths(module=pelmora, prefix=""):
    """Stub module name -> where the runtime has that submodule:
    {"_utils": "utils", "_reservoir_utils": "reservoir.reservoir_utils", ...}."""
    paths = {}
    for name in module.__all__:
        value = getattr(module, name)
        if isinstance(value, types.ModuleType):
            paths[f"_{name}"] = prefix + name
            paths.update(_public_paths(value, f"{prefix}{name}."))
    return paths


def _stubtest(stubs, tmp_path):
    return _python(
        ["-c", STUBTEST, "pelmora"], env_extra={"MYPYPATH": str(stubs)}, cwd=tmp_path
    )


@requires_mypy
def test_stubtest_passes(tmp_path):
    result = _stubtest(STUBS, tmp_path)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    # Every stub file was checked against a module, none skipped.
    assert f"no issues found in {len(_stub_files())} modules" in output, output


@requires_mypy
def test_stubtest_catches_a_renamed_parameter(tmp_path):
    stubs = tmp_path / "stubs"
    shutil.copytree(STUBS, stubs)
    reach = stubs / "pelmora" / "_reach.pyi"
    text = reach.read_text()
    assert "sub_reaches: int" in text
    reach.write_text(text.replace("sub_reaches: int", "n_sub_reaches: int"))
    # A class that loses its pickling declarations.
    reservoir_utils = stubs / "pelmora" / "_reservoir_utils.pyi"
    text = reservoir_utils.read_text()
    assert "class ElevationStorage(_Value):" in text
    reservoir_utils.write_text(text.replace("class ElevationStorage(_Value):", "class ElevationStorage:"))

    result = _stubtest(stubs, tmp_path)
    output = result.stdout + result.stderr
    assert result.returncode == 1, output
    assert "pelmora._reach.run_muskingum_routing is inconsistent" in output, output
    assert '"n_sub_reaches" differs from runtime parameter "sub_reaches"' in output
    assert "pelmora._reservoir_utils.ElevationStorage.__copy__ is not present in stub" in output, output


# ---------------------------------------------------------------------------
# Declared types against real objects


def _samples():
    """One instance of every class, and one result of every function and
    method, keyed by the name the stubs give it ("reach.run_muskingum_routing",
    "utils.IncrementalTimeSeries.disaggregate")."""
    u = pelmora.utils
    ru = pelmora.reservoir.reservoir_utils
    hour = timedelta(hours=1)

    rain = u.IncrementalTimeSeries([0.2, 0.6, 0.1, 0.0], hour, "rainfall", start=datetime(2024, 5, 1))
    flow = u.ContinuousTimeSeries([0.0, 100.0, 50.0, 10.0], hour, "discharge")
    rating = ru.ElevationDischarge([100.0, 110.0], [0.0, 500.0])
    curve = ru.ElevationStorage([100.0, 110.0], [0.0, 1.0e6])
    outlets = {
        "gate": ru.ControlledDischargeInfo(rating, 100.0, 109.0, 400.0),
        "spill": ru.UnControlledDischargeInfo(rating, 0.5),
        "fixed": ru.ConstantDischargeInfo(5.0, 100.0),
        "release": ru.SpecifiedDischargeInfo(flow, None, None, 80.0),
    }
    layer = pelmora.baseflow.LinearReservoir(timedelta(days=1), 0.5, 1.0, 2)
    loss = pelmora.rainfall_loss.run_deficit_and_constant(rain, 0.5, 2.0, 0.05, 2 * hour)
    pool = pelmora.reservoir.run_level_pool_routing(flow, 101.0, curve, outlets)

    instances = [rain, flow, rating, curve, *outlets.values(), layer, loss, pool]
    results = {
        "utils.ContinuousTimeSeries.total_duration": flow.total_duration(),
        "utils.IncrementalTimeSeries.total_duration": rain.total_duration(),
        "utils.IncrementalTimeSeries.disaggregate": rain.disaggregate(900),
        "reach.run_muskingum_routing": pelmora.reach.run_muskingum_routing(
            flow, hour, 0.2, 1, 0.0
        ),
        "rainfall_transform.run_clark_uh": pelmora.rainfall_transform.run_clark_uh(
            loss.excess, 640.0, 3 * hour, 5 * hour
        ),
        "rainfall_loss.run_deficit_and_constant": loss,
        "baseflow.run_linear_reservoir": pelmora.baseflow.run_linear_reservoir(
            640.0, loss.loss, {"deep": layer}
        ),
        "reservoir.run_level_pool_routing": pool,
        "reservoir.reservoir_utils.ElevationStorage.get_storage": curve.get_storage(105.0),
        "reservoir.reservoir_utils.ElevationStorage.get_elevation": curve.get_elevation(2.5e5),
        "metrics.calculate_kge": pelmora.metrics.calculate_kge([1.0, 2.0, 4.0], [1.0, 2.5, 3.5]),
    }
    if pandas is not None:
        for series in (rain, flow):
            name = f"utils.{type(series).__name__}"
            results[f"{name}.to_pandas"] = series.to_pandas()
            results[f"{name}.from_pandas"] = type(series).from_pandas(series.to_pandas(), series.kind)
    return instances, results


def _decorators(node):
    return [ast.unparse(d) for d in node.decorator_list]


def _parse_stubs(stubs):
    """Classes (name -> {property: (return annotation, has setter)} and
    methods), functions and type aliases declared by the stub files."""
    classes, callables, aliases = {}, {}, {}
    public = _public_paths()
    for path in _stub_files(stubs):
        prefix = "" if path.stem == "__init__" else public[path.stem] + "."
        for node in ast.parse(path.read_text()).body:
            if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias":
                aliases[node.target.id] = node.value
            elif isinstance(node, ast.FunctionDef):
                callables[prefix + node.name] = node.returns
            elif isinstance(node, ast.ClassDef) and "type_check_only" not in _decorators(node):
                properties = {}
                for item in node.body:
                    if not isinstance(item, ast.FunctionDef):
                        continue
                    decorators = _decorators(item)
                    if "property" in decorators:
                        properties[item.name] = (item.returns, False)
                    elif f"{item.name}.setter" in decorators:
                        properties[item.name] = (properties[item.name][0], True)
                    elif not item.name.startswith("__"):
                        callables[f"{prefix}{node.name}.{item.name}"] = item.returns
                classes[node.name] = properties
    return classes, callables, aliases


def _conforms(value, annotation, names):
    """Whether `value` has the type that the stub annotation states.  The
    library returns exact types (never subclasses), so the test is exact."""
    match annotation:
        case ast.Constant(value=None):
            return value is None
        case ast.BinOp(op=ast.BitOr(), left=left, right=right):
            return _conforms(value, left, names) or _conforms(value, right, names)
        case ast.Subscript(value=ast.Name(id=generic), slice=arg):
            args = arg.elts if isinstance(arg, ast.Tuple) else [arg]
            if generic == "Literal":
                return any(type(value) is type(a.value) and value == a.value for a in args)
            if generic == "list":
                return type(value) is list and all(_conforms(v, args[0], names) for v in value)
            if generic == "dict":
                return type(value) is dict and all(
                    _conforms(k, args[0], names) and _conforms(v, args[1], names)
                    for k, v in value.items()
                )
            if generic == "tuple":
                return (
                    type(value) is tuple
                    and len(value) == len(args)
                    and all(_conforms(v, a, names) for v, a in zip(value, args))
                )
        case ast.Name(id=name) if name in names:
            target = names[name]
            if isinstance(target, ast.expr):
                return _conforms(value, target, names)
            return type(value) is target
    raise AssertionError(f"the checker does not know the annotation {ast.unparse(annotation)}")


def _type_problems(stubs):
    classes, callables, aliases = _parse_stubs(stubs)
    instances, results = _samples()
    by_name = {type(obj).__name__: obj for obj in instances}
    names = {t.__name__: t for t in (bool, int, float, str, timedelta, datetime)}
    if pandas is not None:
        names["_PandasSeries"] = pandas.Series
    else:  # the pandas methods cannot run here
        callables = {k: v for k, v in callables.items() if not k.endswith(("to_pandas", "from_pandas"))}
    names.update({name: type(obj) for name, obj in by_name.items()})
    names.update(aliases)

    problems = []
    for cls, properties in classes.items():
        if cls not in by_name:
            problems.append(f"{cls}: no sample instance")
            continue
        obj = by_name[cls]
        for name, (annotation, settable) in properties.items():
            value = getattr(obj, name)
            if not _conforms(value, annotation, names):
                problems.append(
                    f"{cls}.{name}: {value!r} is not {ast.unparse(annotation)}"
                )
            try:
                setattr(obj, name, value)  # same value back: no change
                writable = True
            except AttributeError:
                writable = False
            if writable != settable:
                problems.append(
                    f"{cls}.{name}: {'has' if writable else 'has no'} setter at run time"
                )
    if set(callables) != set(results):
        problems.append(
            f"sample results do not match the stubbed callables: "
            f"missing {sorted(set(callables) - set(results))}, "
            f"extra {sorted(set(results) - set(callables))}"
        )
    for name, annotation in callables.items():
        if ast.unparse(annotation) == "Self":  # a classmethod: the class it is called on
            owner = name.split(".")[-2]
            if name in results and type(results[name]).__name__ != owner:
                problems.append(f"{name}: returned {results[name]!r}, not {owner}")
            continue
        if name in results and not _conforms(results[name], annotation, names):
            problems.append(
                f"{name}: returned {results[name]!r}, not {ast.unparse(annotation)}"
            )
    return problems


def test_declared_types_match_real_objects():
    assert _type_problems(STUBS) == []


def test_type_check_catches_drift(tmp_path):
    stubs = tmp_path / "stubs"
    shutil.copytree(STUBS, stubs)
    utils = stubs / "pelmora" / "_utils.pyi"
    text = utils.read_text()
    assert "def total_duration(self) -> int:" in text
    text = text.replace("def total_duration(self) -> int:", "def total_duration(self) -> float:", 1)
    utils.write_text(text)
    baseflow = stubs / "pelmora" / "_baseflow.pyi"
    text = baseflow.read_text()
    setter = "    @initial_q.setter\n    def initial_q(self, value: float, /) -> None: ...\n"
    assert setter in text
    baseflow.write_text(text.replace(setter, ""))

    assert _type_problems(stubs) == [
        "LinearReservoir.initial_q: has setter at run time",
        "utils.ContinuousTimeSeries.total_duration: returned 10800, not float",
    ]


# ---------------------------------------------------------------------------
# mypy on code that uses the library

GOOD = """\
import copy
import pickle
from datetime import datetime, timedelta
from typing import Any, assert_type

import numpy as np

import pelmora
from pelmora import baseflow, metrics, rainfall_loss, rainfall_transform, reach, reservoir, utils

# The submodules are attributes: `from pelmora.reservoir import ...` would
# fail at run time.
ru = reservoir.reservoir_utils

HOUR = timedelta(hours=1)

rain = utils.IncrementalTimeSeries([0.1, 0.5, 0.2, 0.0], HOUR, "rainfall")
flow_frame = utils.ContinuousTimeSeries([1.0, 2.0], HOUR, "discharge").to_pandas()
assert_type(rain.disaggregate(900), utils.IncrementalTimeSeries)
assert_type(rain.data, list[float])
assert_type(rain.time_step, timedelta)
assert_type(rain.total_duration(), int)
dated = utils.IncrementalTimeSeries([0.1], HOUR, "rainfall", start=datetime(2024, 5, 1))
assert_type(dated.start, datetime | None)
assert_type(utils.ContinuousTimeSeries.from_pandas(flow_frame, "discharge"), utils.ContinuousTimeSeries)
assert_type(dated.to_pandas(), Any)

loss = rainfall_loss.run_deficit_and_constant(rain, 0.5, 2.0, 0.1, timedelta(days=2))
assert_type(loss, rainfall_loss.DeficitConstantResult)
assert_type(loss.excess, utils.IncrementalTimeSeries)

flow = rainfall_transform.run_clark_uh(loss.excess, 640, 3 * HOUR, 5 * HOUR)
routed = reach.run_muskingum_routing(flow, 2 * HOUR, 0.2, 3, flow.data[0])
assert_type(routed, utils.ContinuousTimeSeries)

layers = {"fast": baseflow.LinearReservoir(timedelta(days=1), 0.3, 0.0)}
layers["fast"].gw_fraction = 0.4
layers["fast"].initial_q = 1
layers["fast"].num_reservoir = 2
total, each = baseflow.run_linear_reservoir(640.0, loss.loss, layers)
assert_type(total, utils.ContinuousTimeSeries)
assert_type(each, dict[str, utils.ContinuousTimeSeries])

rating = ru.ElevationDischarge(np.array([100.0, 110.0]), (0, 500))
curve = ru.ElevationStorage(range(100, 111, 10), [0.0, 1.0e6])
assert_type(curve.get_storage(105), float)
spillways = {"spill": ru.UnControlledDischargeInfo(rating, elevation_offset=0.5)}
outlets: dict[str, ru.ConstantDischargeInfo | ru.ControlledDischargeInfo] = {
    "fixed": ru.ConstantDischargeInfo(5.0, maximum_elevation=None),
    "gate": ru.ControlledDischargeInfo(rating, 100.0, None, 400.0),
}
pool = pelmora.reservoir.run_level_pool_routing(routed, 101.0, curve, spillways)
pool = reservoir.run_level_pool_routing(routed, 101.0, curve, outlets)
assert_type(pool.reservoir_individual_outflows, dict[str, utils.ContinuousTimeSeries])
gate = ru.ControlledDischargeInfo(rating)
assert_type(gate.maximum_release, float | None)

score = metrics.calculate_kge(np.linspace(1.0, 2.0, 4), routed.data[:4], use_log=True)
assert_type(score, float)


class Hydrograph(utils.ContinuousTimeSeries):
    pass


assert_type(Hydrograph([1.0, 2.0], HOUR, "discharge"), Hydrograph)

# The constructor checks the kind at run time.
kind: str = "discharge"
from_str = utils.ContinuousTimeSeries([1.0], HOUR, kind)
# Outlets of mixed kinds in one dict.
mixed = {
    "fixed": ru.ConstantDischargeInfo(5.0),
    "gate": ru.ControlledDischargeInfo(rating, 100.0),
    "spill": ru.UnControlledDischargeInfo(rating),
    "release": ru.SpecifiedDischargeInfo(routed),
}
pool = reservoir.run_level_pool_routing(routed, 101.0, curve, mixed)
curve = pelmora.reservoir.reservoir_utils.ElevationStorage([100.0, 110.0], [0.0, 1.0e6])

# Views, pickles and copies.
view = np.asarray(routed)
assert_type(memoryview(routed), memoryview)
assert_type(pickle.loads(pickle.dumps(routed, 5)), Any)
assert_type(routed.__reduce_ex__(5), tuple[Any, ...])
assert_type(copy.deepcopy(layers["fast"]), baseflow.LinearReservoir)
assert_type(copy.copy(pool), reservoir.LevelPoolResult)
"""

# Each line ends with the mypy error codes expected on it.
BAD = """\
from datetime import timedelta

from pelmora import baseflow, metrics, rainfall_loss, reach, reservoir, utils

ru = reservoir.reservoir_utils

HOUR = timedelta(hours=1)
s = utils.ContinuousTimeSeries([1.0, 2.0], HOUR, "discharge")
utils.ContinuousTimeSeries("12", HOUR, "discharge")  # arg-type
utils.ContinuousTimeSeries({0: 1.0}, HOUR, "discharge")  # arg-type
utils.ContinuousTimeSeries([1.0], 3600, "discharge")  # arg-type
utils.ContinuousTimeSeries([1.0], HOUR)  # call-arg
utils.ContinuousTimeSeries([1.0], HOUR, "discharge", None)  # call-arg
utils.ContinuousTimeSeries([1.0], HOUR, "discharge", start="2024-05-01")  # arg-type
s.start = None  # misc
reach.run_muskingum_routing(s, HOUR, 0.2, 1.5, 0.0)  # arg-type
reach.run_muskingum_routing(s, HOUR, 0.2, 1, None)  # arg-type
reach.run_muskingum_routing(s, HOUR, 0.2, sub_reach=1, initial_outflow=0.0)  # call-arg
rainfall_loss.run_deficit_and_constant(s, 0.0, 1.0, 0.1, HOUR)  # arg-type
metrics.calculate_kge([1.0], [1.0], 1)  # arg-type
metrics.calculate_kge([1.0], [1.0], False, 3)  # call-arg
s.data = [3.0]  # misc
layer = baseflow.LinearReservoir(HOUR, 0.5, 0.0)
layer.k_duration = HOUR  # misc
layer.num_reservoir = 1.5  # assignment
baseflow.run_linear_reservoir(1.0, utils.IncrementalTimeSeries([], HOUR, "rainfall"), {"a": 1})  # dict-item
ru.ConstantDischargeInfo(None)  # arg-type
ru.UnControlledDischargeInfo(ru.ElevationDischarge([1, 2], [0, 1]), offset=1.0)  # call-arg
duration: str = s.total_duration()  # assignment
reservoir.run_level_pool_routing(s, 1.0, ru.ElevationStorage([], []), {"a": 1.0})  # type-var


class Layer(baseflow.LinearReservoir):  # misc
    pass


class Both(utils.ContinuousTimeSeries, utils.IncrementalTimeSeries):  # misc
    pass
"""


# Imports that fail at run time, one file each (mypy reports a missing module
# once per run).
FAILING_IMPORTS = [
    "import pelmora.utils",
    "from pelmora.utils import ContinuousTimeSeries",
    "from pelmora.reservoir.reservoir_utils import ElevationStorage",
]


@requires_mypy
def test_mypy_on_library_users(tmp_path):
    pytest.importorskip("numpy", exc_type=ImportError)
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    imports = []
    for i, line in enumerate(FAILING_IMPORTS):
        (tmp_path / f"import{i}.py").write_text(line + "\n")
        imports.append(f"import{i}.py")
    result = _python(
        ["-m", "mypy", "--strict", "--no-incremental", "--config-file=",
         *map(str, _stub_files()), "good.py", "bad.py", *imports],
        env_extra={"MYPYPATH": str(STUBS)},
        cwd=tmp_path,
    )
    output = result.stdout + result.stderr
    reported = set(re.findall(r"^([\w/.-]+):(\d+): error: .*\[([\w-]+)\]$", output, re.M))
    expected = {
        ("bad.py", str(number), code)
        for number, line in enumerate(BAD.splitlines(), 1)
        if "  # " in line
        for code in line.rsplit("  # ", 1)[1].split(", ")
    } | {(name, "1", "import-not-found") for name in imports}
    # No error in the stubs themselves, nor in the correct snippet.
    assert reported == expected, output
    assert result.returncode == 1, output


def test_correct_snippet_runs(tmp_path):
    pytest.importorskip("numpy", exc_type=ImportError)
    path = tmp_path / "good.py"
    path.write_text(GOOD)
    runpy.run_path(str(path))
