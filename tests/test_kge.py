"""calculate_kge: values, guards, error order and argument handling."""

import array
import math

import pytest
from conftest import allocated_growth, message

import pelmora

kge = pelmora.metrics.calculate_kge
EPS = 1e-6


def reference(sim, obs, use_log=False):
    """The efficiency, evaluated in the documented order of operations."""
    if use_log:
        sim = [math.log(x + EPS) for x in sim]
        obs = [math.log(x + EPS) for x in obs]
    n = float(len(obs))
    ms = mo = 0.0  # plain left-to-right sums (sum() compensates)
    for s, o in zip(sim, obs):
        ms += s
        mo += o
    ms, mo = ms / n, mo / n
    sss = sso = soo = 0.0
    for s, o in zip(sim, obs):
        ds, do = s - ms, o - mo
        sss += ds * ds
        sso += do * ds
        soo += do * do
    dr = math.sqrt(soo * sss)
    corr = 1.0
    if not dr < EPS:
        r = sso / dr
        corr = (r - 1.0) * (r - 1.0)
    beta = ms / (EPS if abs(mo) < EPS else mo)
    sigma_o = math.sqrt(soo / n)
    gamma = math.sqrt(sss / n) / (EPS if sigma_o < EPS else sigma_o)
    return 1.0 - math.sqrt((gamma - 1.0) * (gamma - 1.0) + ((beta - 1.0) * (beta - 1.0) + corr))


SIM = [1.0, 2.0, 3.0, 4.0]
OBS = [1.5, 2.5, 2.5, 4.5]


@pytest.mark.parametrize(
    "sim, obs, use_log, expected, tol",
    [
        (SIM, OBS, False, 0.8783041, 5e-8),
        (SIM, OBS, True, 0.6228083, 5e-8),
        ([5.0], [5.0], False, -0.4142136, 5e-8),  # flat data is not a perfect score
        ([1.0, 2.0], [3.0, 3.0], False, 1 - math.sqrt(499999.0**2 + 1.25), 1e-6),  # constant obs
        ([0.0, 1.0], [-1.0, 1.0], False, 1 - math.sqrt(499999.0**2 + 0.25), 1e-6),  # beta = 0.5 / 1e-6
        ([0.0, 1.0], [0.0, 1.0], True, 1.0, 1e-12),  # zeros become ln(1e-6)
        ([0.3, 1.7, 2.2, 9.0], [0.3, 1.7, 2.2, 9.0], False, 1.0, 1e-12),
        ([2.0, 2.0, 2.0], [1.0, 2.0, 3.0], False, 1 - math.sqrt(2.0), 1e-12),  # flat sim
    ],
)
def test_values(sim, obs, use_log, expected, tol):
    result = kge(sim, obs, use_log)
    assert type(result) is float
    assert result == pytest.approx(expected, abs=tol)


WAVE = [50.0 + 40.0 * math.sin(i / 3.0) for i in range(200)]


@pytest.mark.parametrize(
    "sim, obs, use_log",
    [
        # Poor fits, where the grouping of the sums shows in the last bits.
        ([2.25, 3.0, 4.25, 0.25, 3.75], [2.0, 0.5, 1.5, 1.0, 3.0], False),
        ([4.5, 1.5, 4.0, 2.75], [1.5, 0.75, 4.0, 2.25], False),
        ([2.25, 1.5, 3.25, 1.5], [0.75, 1.25, 5.0, 5.0], True),
        ([0.5, 4.0, 2.75], [1.75, 1.25, 4.75], True),
        ([0.9 * w + 7.0 * math.cos(i) for i, w in enumerate(WAVE)], WAVE, False),
        ([0.9 * w + 7.0 * math.cos(i) for i, w in enumerate(WAVE)], WAVE, True),
    ],
)
def test_matches_documented_evaluation(sim, obs, use_log):
    assert kge(sim, obs, use_log) == reference(sim, obs, use_log)


@pytest.mark.parametrize(
    "sim, obs, use_log",
    [
        ([1.0, math.nan, 3.0], [1.0, 2.0, 3.0], False),
        ([1.0, 2.0, 3.0], [1.0, 2.0, math.inf], False),
        ([1.0, 2.0, 3.0], [1.0, -0.5, 3.0], True),   # log of a negative number
        ([1.0, 2.0, 3.0], [1.0, -EPS, 3.0], True),   # ln 0
    ],
)
def test_bad_values_give_nan(sim, obs, use_log):
    assert math.isnan(kge(sim, obs, use_log))


@pytest.mark.parametrize(
    "sim, obs, use_log, text",
    [
        ([], [], False, "Observed series is empty."),
        ([1.0], [], False, "Observed series is empty."),
        ([1.0], [], True, "Observed series is empty."),
        ([], [1.0], False, "Series length mismatch."),
        ([1.0, 2.0], [1.0], False, "Series length mismatch."),
        # The lengths are compared before any logarithm is taken.
        ([-5.0, math.nan], [-1.0], True, "Series length mismatch."),
    ],
)
def test_domain_errors(sim, obs, use_log, text):
    with pytest.raises(ValueError) as excinfo:
        kge(sim, obs, use_log)
    assert type(excinfo.value) is ValueError
    assert message(excinfo) == text


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        # Conversions come before the domain checks, in parameter order.
        (([], [], 1), {}, "argument 'use_log': 'int' object is not an instance of 'bool'"),
        (([], [], None), {}, "argument 'use_log': 'None' is not an instance of 'bool'"),
        (([1.0], [1.0]), {"use_log": 0.0}, "argument 'use_log': 'float' object is not an instance of 'bool'"),
        (("ab", {1: 2}, 1), {}, "argument 'sim': Can't extract `str` to `Vec`"),
        (([1.0], {1: 2}, 1), {}, "argument 'obs': 'dict' object is not an instance of 'Sequence'"),
        (([1.0, "x"], [1.0, 2.0]), {}, "argument 'sim': must be real number, not str"),
        (([1.0], None), {}, "argument 'obs': 'None' is not an instance of 'Sequence'"),
        (([1.0],), {}, "calculate_kge() missing 1 required positional argument: 'obs'"),
        ((), {}, "calculate_kge() missing 2 required positional arguments: 'sim' and 'obs'"),
        (([1.0], [1.0]), {"sim": [1.0]}, "calculate_kge() got multiple values for argument 'sim'"),
    ],
)
def test_argument_errors(args, kwargs, text):
    with pytest.raises(TypeError) as excinfo:
        kge(*args, **kwargs)
    assert message(excinfo) == text


def test_use_log_accepts_bools_and_keywords(np):
    plain, logged = kge(SIM, OBS), kge(SIM, OBS, True)
    assert plain != logged
    assert kge(SIM, OBS, False) == kge(obs=OBS, sim=SIM, use_log=False) == plain
    assert kge(SIM, OBS, np.True_) == kge(SIM, OBS, use_log=np.bool_(True)) == logged
    assert kge(SIM, OBS, np.False_) == plain


@pytest.mark.parametrize("use_log", [False, True])
def test_sequence_kinds_agree_and_stay_unchanged(use_log, np):
    sim_list, obs_list = [0.0, 1.5, 2.25, 8.0, 3.5], [0.5, 1.0, 2.5, 7.0, 4.0]
    sim_np, obs_np = np.array(sim_list), np.array(obs_list)
    expected = kge(sim_list, obs_list, use_log)
    variants = [
        (sim_np, obs_np),
        (tuple(sim_list), array.array("d", obs_list)),
        (np.repeat(sim_np, 2)[::2], obs_np.astype(">f8")),  # strided, big-endian
        (list(sim_np), memoryview(obs_np)),
        ([0, 1.5, 2.25, 8, 3.5], (0.5, 1, 2.5, 7, 4)),  # integers convert
    ]
    for sim, obs in variants:
        assert kge(sim, obs, use_log) == expected
    assert sim_list == [0.0, 1.5, 2.25, 8.0, 3.5] and obs_list == [0.5, 1.0, 2.5, 7.0, 4.0]
    assert sim_np.tolist() == sim_list and obs_np.tolist() == obs_list


def test_documentation():
    assert kge.__text_signature__ == "(sim, obs, use_log=False)"
    doc = kge.__doc__
    assert doc.startswith("Calculates the Kling-Gupta Efficiency (KGE) between simulated and observed series.\n\n")
    assert "use_log : bool, default False\n    If True," in doc
    assert "`true`" not in doc and "PyValueError" not in doc
    assert "ln(value + 0.000001)" in doc


def test_no_reference_growth(np):
    sim_np, obs_np = np.array(SIM), np.array(OBS)

    def calls():
        kge(SIM, OBS, True)
        kge(sim_np, obs_np, np.True_)
        for bad in (
            lambda: kge([], []),
            lambda: kge([1.0], [1.0, 2.0], True),
            lambda: kge(SIM, OBS, 1),
            lambda: kge([1.0, "x"], OBS),
        ):
            try:
                bad()
            except (TypeError, ValueError):
                pass

    assert allocated_growth(calls, calls=500) < 50
