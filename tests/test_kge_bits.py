"""calculate_kge gives the same bits from every kind of sequence, and the same
bits as before its sums moved into the conversion: a digest of a few hundred
scores, as hex floats, taken from the build before that change."""

import array
import hashlib
import math
import random
from collections.abc import Sequence

import pytest

import pelmora

kge = pelmora.metrics.calculate_kge

# sha256 of the newline-joined float.hex() of every score of CASES, in order.
DIGEST = "45cc3f1c24872d74bdb8aae9b365a70cd5482f6e19849fb100bb8fbd850cf3a3"


class Items(Sequence):
    """A plain sequence, which takes the item-by-item path."""

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


def cases():
    rng = random.Random(20261210)
    out = []
    for i in range(300):
        n = rng.choice([1, 2, 3, 8, 31, 256, 1000, 4099])
        obs = [rng.gammavariate(2.0, 50.0) for _ in range(n)]
        sim = [o * rng.gauss(1.05, 0.2) + rng.gauss(0.0, 5.0) for o in obs]
        kind = i % 6
        if kind == 1:
            obs = [7.25] * n  # flat: the guards stand in
        elif kind == 2:
            sim[rng.randrange(n)] = -1e-6  # a log of zero
        elif kind == 3 and n > 2:
            sim[n // 2] = math.nan
        elif kind == 4:
            sim = [s * 1e-9 for s in sim]  # a mean below the guard
        out.append((sim, obs, i % 2 == 1))
    return out


def scores(form):
    return [kge(form(sim), form(obs), use_log) for sim, obs, use_log in cases()]


def digest(values):
    return hashlib.sha256("\n".join(v.hex() for v in values).encode()).hexdigest()


FORMS = {
    "list": list,
    "tuple": tuple,
    "items": Items,
    "array.array": lambda v: array.array("d", v),
    "memoryview": lambda v: memoryview(array.array("d", v)),
}


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
def test_scores_keep_their_bits(form):
    assert digest(scores(form)) == DIGEST


@pytest.mark.parametrize("mixed", [(0, 1), (1, 0)], ids=["array-list", "list-array"])
def test_numpy_arrays_keep_their_bits(mixed, np):
    def pick(values, which):
        return np.array(values) if which == 0 else list(values)
    got = [kge(pick(sim, 0), pick(obs, 0), use_log) for sim, obs, use_log in cases()]
    assert digest(got) == DIGEST
    a, b = mixed
    got = [kge(pick(sim, a), pick(obs, b), use_log) for sim, obs, use_log in cases()]
    assert digest(got) == DIGEST


def kge_python(sim, obs, use_log, eps=1e-6):
    """The efficiency as the docstring states it, in plain Python."""
    if use_log:
        sim = [math.log(v + eps) if v + eps > 0 else (-math.inf if v + eps == 0 else math.nan) for v in sim]
        obs = [math.log(v + eps) for v in obs]
    n = len(obs)
    ms, mo = math.fsum(sim) / n, math.fsum(obs) / n
    sss = math.fsum((s - ms) ** 2 for s in sim)
    soo = math.fsum((o - mo) ** 2 for o in obs)
    sso = math.fsum((s - ms) * (o - mo) for s, o in zip(sim, obs))
    dr = math.sqrt(soo * sss)
    corr = 1.0 if not dr >= eps else (sso / dr - 1.0) ** 2
    beta = ms / (eps if abs(mo) < eps else mo)
    sigma_o = math.sqrt(soo / n)
    gamma = math.sqrt(sss / n) / (eps if sigma_o < eps else sigma_o)
    return 1.0 - math.sqrt((gamma - 1.0) ** 2 + (beta - 1.0) ** 2 + corr)


def test_the_stored_scores_are_the_efficiency():
    # The digest pins bits; this pins that they are the right numbers, within
    # what summing in index order rather than exactly can move them.
    for (sim, obs, use_log), got in zip(cases(), scores(list)):
        if any(math.isnan(v) for v in sim):
            assert math.isnan(got)
            continue
        want = kge_python(sim, obs, use_log)
        if math.isinf(want) or math.isnan(want):
            assert got == want or (math.isnan(got) and math.isnan(want))
        else:
            assert got == pytest.approx(want, rel=1e-7, abs=1e-7)
