"""Mixed-model scans: lmm_reml_chunk_f32 (REML lambda per marker) and lmm_assoc_chunk_f32 (fixed
lambda). Oracles: hand-worked examples, and NumPy implementations of the weighted least-squares fit
and of the restricted likelihood written independently of the module."""
import math
import threading

import numpy as np
import pytest

import korvex
from lock_check import run_beside_spinner

reml = korvex.lmm_reml_chunk_f32
assoc = korvex.lmm_assoc_chunk_f32

LOG_2PI = math.log(2 * math.pi)


# ---- data ---------------------------------------------------------------------------------------

def example_a():
    s = np.array([2.0, 1.0, 0.5, 0.1])
    x = np.ones((4, 1))
    y = np.array([1.0, 2.0, 3.0, 5.0])
    g = np.array([[0, 1, 2, 3]], dtype=np.float32)
    return s, x, y, g


def example_b():
    s = np.array([3.0, 2.0, 1.5, 1.0, 0.5, 0.2])
    x = np.array([[1, 0.3], [1, -0.2], [1, 0.8], [1, 0.1], [1, -0.5], [1, 0.4]])
    y = np.array([0.5, 1.7, 2.2, 3.9, 4.1, 6.3])
    g = np.array([[0, 1, 2, 1, 0, 2]], dtype=np.float32)
    return s, x, y, g


def simulated(n=80, p=3, m=12, log10_lambda=0.3, seed=1, s=None):
    """Data drawn from the rotated model: y ~ N(X b, s + lambda), lambda = 10^log10_lambda; s are
    the eigenvalues of a random relationship matrix unless given."""
    rng = np.random.default_rng(seed)
    if s is None:
        z = rng.standard_normal((n, 3 * n))
        s = np.sort(np.linalg.eigvalsh(z @ z.T / (3 * n)))[::-1].copy()
    x = rng.standard_normal((n, p))
    x[:, 0] = 1.0 + 0.1 * rng.standard_normal(n)
    g = rng.standard_normal((m, n)).astype(np.float32)
    lam = 10.0 ** log10_lambda
    y = x @ rng.standard_normal(p) + 0.3 * g[0] + np.sqrt(s + lam) * rng.standard_normal(n)
    return s, x, y, g


# ---- NumPy references ---------------------------------------------------------------------------

def design(x, g_row):
    return np.column_stack([x, np.asarray(g_row, dtype=np.float64)])


def wls_fit(s, x, y, g_row, lam, ridge=0.0, weights=None):
    """Weighted least squares of y on [x | g] with weights 1/(s + lam): (beta_g, se_g)."""
    xa = design(x, g_row)
    w = 1.0 / (s + lam) if weights is None else weights
    a = xa.T @ (w[:, None] * xa) + ridge * np.eye(xa.shape[1])
    beta = np.linalg.solve(a, xa.T @ (w * y))
    r = y - xa @ beta
    rss = np.sum(w * r * r)
    df = len(y) - xa.shape[1]
    cov = np.linalg.inv(a) * rss / df
    return beta[-1], math.sqrt(cov[-1, -1])


def reml_loglik(s, x, y, g_row, log10_lam):
    """Restricted log-likelihood (sigma^2 profiled out, 1e-6 ridge) on an array of log10(lambda)."""
    xa = design(x, g_row)
    n, k = xa.shape
    lam = 10.0 ** np.atleast_1d(np.asarray(log10_lam, dtype=np.float64))
    v = s[None, :] + lam[:, None]
    w = 1.0 / v
    a = np.einsum("gi,ic,il->gcl", w, xa, xa) + 1e-6 * np.eye(k)
    b = np.einsum("gi,ic,i->gc", w, xa, y)
    beta = np.linalg.solve(a, b[..., None])[..., 0]
    r = y[None, :] - beta @ xa.T
    rss = np.sum(w * r * r, axis=1)
    logdet = np.linalg.slogdet(a)[1]
    df = n - k
    return 0.5 * df * (math.log(df) - 1 - LOG_2PI) - 0.5 * (
        logdet + df * np.log(rss) + np.log(v).sum(axis=1))


def assert_digits(actual, expected, digits):
    """actual rounds to `expected`, which is given to `digits` significant digits."""
    for a, e in zip(np.ravel(actual), np.ravel(expected)):
        exponent = math.floor(math.log10(abs(e)))
        assert abs(a - e) <= 0.5 * 10.0 ** (exponent - digits + 1) * (1 + 1e-9), (a, e)


# ---- worked examples ----------------------------------------------------------------------------

def test_reference_likelihood_reproduces_the_worked_values():
    # Validates the NumPy oracle used by the grid test below.
    s, x, y, g = example_a()
    assert_digits(reml_loglik(s, x, y, g[0], [-1, 0, 1]),
                  [-2.76056147383, -2.58519273161, -2.46145844418], 12)
    s, x, y, g = example_b()
    assert_digits(reml_loglik(s, x, y, g[0], [-1, 0, 0.5]),
                  [-7.60531664851, -7.61362160368, -7.63552508207], 12)


def test_reml_worked_example_a_final_fit_at_midpoint():
    # max_iter = 0 stops at the midpoint x = 0, so the record is the final fit at lambda = 1.
    s, x, y, g = example_a()
    bsp, lambdas = reml(s, x, y, -1.0, 1.0, g, max_iter=0)
    assert bsp.shape == (1, 3) and bsp.dtype == np.float64 and bsp.flags.c_contiguous
    assert lambdas.shape == (1,) and lambdas.dtype == np.float64
    assert_digits(bsp[0], [1.370656337, 0.1885576083, 3.617167929e-13], 10)
    assert lambdas[0] == 1.0


def test_reml_worked_example_b_search():
    s, x, y, g = example_b()
    bsp, lambdas = reml(s, x, y, -3.0, 3.0, g)
    assert math.log10(lambdas[0]) == pytest.approx(-0.66495, abs=5e-6)
    np.testing.assert_allclose(bsp[0], [3.018178, 1.616127, 0.0618266], rtol=2e-6)
    assert lambdas[0] == pytest.approx(0.2162972, rel=2e-6)
    # The maximum of the likelihood lies at -0.6642; the search stops within its tolerance.
    grid = np.linspace(-0.7, -0.6, 100001)
    assert grid[np.argmax(reml_loglik(s, x, y, g[0], grid))] == pytest.approx(-0.6642, abs=5e-5)


@pytest.mark.parametrize("example, expected", [
    (example_a, [1.370656375, 0.1885577689, 3.617328234e-13]),
    (example_b, [2.587777074, 1.590226613, 0.1036732235]),
])
def test_assoc_worked_examples(example, expected):
    s, x, y, g = example()
    out = assoc(s, x, y, 0.0, g)
    assert out.shape == (1, 3) and out.dtype == np.float64 and out.flags.c_contiguous
    assert_digits(out[0], expected, 10)


def test_surface_signatures():
    assert reml.__text_signature__ == (
        "(s, xcov, y_rot, low, high, g_rot_chunk, max_iter=50, tol=1e-2, threads=0)")
    assert assoc.__text_signature__ == "(s, xcov, y_rot, log10_lbd, g_rot_chunk, threads=0)"
    assert reml.__doc__ is None and assoc.__doc__ is None


# ---- REML edge cases ----------------------------------------------------------------------------

def test_reml_max_iter_zero_uses_the_midpoint_for_every_marker():
    s, x, y, g = simulated(m=5)
    bsp, lambdas = reml(s, x, y, -2.0, 1.0, g, max_iter=0)
    assert np.all(lambdas == 10.0 ** -0.5)
    for e in range(5):
        beta, se = wls_fit(s, x, y, g[e], 10.0 ** -0.5, ridge=1e-6)
        np.testing.assert_allclose(bsp[e, :2], [beta, se], rtol=1e-10)


@pytest.mark.parametrize("low, high", [(1.0, 1.0), (2.0, -2.0)])
def test_reml_refuses_empty_interval(low, high):
    s, x, y, g = example_a()
    with pytest.raises(RuntimeError, match=r"^low must be < high$"):
        reml(s, x, y, low, high, g)


@pytest.mark.parametrize("p", [1, 2**18])
def test_reml_too_few_samples_reports_failure_rows(p):
    # n = 2 <= p + 1: every evaluation fails, every trial is accepted, the search walks to low.
    # With 2^18 covariates the call must not size (p + 1)^2 scratch it can never use.
    s = np.array([1.0, 2.0])
    x = np.broadcast_to(1.0, (2, p))
    y = np.array([0.5, 1.5])
    g = np.array([[0, 1], [1, 0]], dtype=np.float32)
    bsp, lambdas = reml(s, x, y, -5.0, 5.0, g)
    assert np.all(np.isnan(bsp[:, :2])) and np.all(bsp[:, 2] == 1.0)
    np.testing.assert_allclose(np.log10(lambdas), -4.9425, atol=5e-5)


@pytest.mark.parametrize("low, high", [
    (math.nan, 1.0), (-1.0, math.nan),        # NaN bounds pass the check
    (309.0, 320.0),                           # 10^x overflows to infinity
    (-400.0, -330.0),                         # 10^x underflows to 0
    (-math.inf, math.inf), (-math.inf, 0.0),
])
def test_reml_invalid_lambda_gives_nan_records(low, high):
    s, x, y, g = example_b()
    # A huge max_iter must not matter: the search stops once the point is NaN or has converged.
    bsp, lambdas = reml(s, x, y, low, high, np.vstack([g, g[:, ::-1]]), max_iter=2**62)
    assert np.all(np.isnan(bsp[:, :2])) and np.all(bsp[:, 2] == 1.0)
    assert np.all(np.isnan(lambdas))


def test_reml_all_zero_marker():
    s, x, y, _ = simulated()
    g = np.zeros((1, len(y)), dtype=np.float32)
    bsp, lambdas = reml(s, x, y, -5.0, 5.0, g)
    assert bsp[0, 0] == 0.0
    assert np.isfinite(bsp[0, 1]) and bsp[0, 1] > 0
    assert bsp[0, 2] == 1.0
    assert np.isfinite(lambdas[0])


def test_reml_without_covariates_and_with_fortran_xcov():
    s, x, y, g = simulated(m=4)
    bsp, lambdas = reml(s, np.empty((len(y), 0)), y, -3.0, 3.0, g)
    for e in range(4):
        beta, se = wls_fit(s, np.empty((len(y), 0)), y, g[e], lambdas[e], ridge=1e-6)
        np.testing.assert_allclose(bsp[e, :2], [beta, se], rtol=1e-10)
    # The REML scan copies xcov, so any layout gives the same bits.
    c_order = reml(s, x, y, -3.0, 3.0, g)
    f_order = reml(s, np.asfortranarray(x), y, -3.0, 3.0, g)
    np.testing.assert_array_equal(c_order[0], f_order[0])
    np.testing.assert_array_equal(c_order[1], f_order[1])


# ---- fixed-lambda edge cases --------------------------------------------------------------------

@pytest.mark.parametrize("log10_lbd", [400.0, -400.0, math.nan, math.inf])
def test_assoc_invalid_lambda(log10_lbd):
    s, x, y, g = example_a()
    with pytest.raises(RuntimeError, match=r"^invalid log10_lbd$"):
        assoc(s, x, y, log10_lbd, g)


def test_assoc_xcov_layout():
    s, x, y, g = example_b()
    expected = assoc(s, x, y, 0.0, g)
    with pytest.raises(RuntimeError, match=r"^xcov must be contiguous \(C-order\)$"):
        assoc(s, np.asfortranarray(x), y, 0.0, g)
    with pytest.raises(RuntimeError, match=r"^xcov must be contiguous \(C-order\)$"):
        assoc(s, np.column_stack([x, x])[:, ::2], y, 0.0, g)
    # A single column is both C- and Fortran-ordered.
    one = np.asfortranarray(x[:, :1])
    np.testing.assert_array_equal(assoc(s, one, y, 0.0, g), assoc(s, x[:, :1].copy(), y, 0.0, g))
    np.testing.assert_array_equal(assoc(s, np.ascontiguousarray(x), y, 0.0, g), expected)


def test_assoc_without_covariates():
    s, _, y, g = simulated(m=3)
    lam = 10.0 ** 0.25
    w = (1.0 / (s + lam)).astype(np.float32).astype(np.float64)
    out = assoc(s, np.empty((len(y), 0)), y, 0.25, g)
    for e in range(3):
        ge = g[e].astype(np.float64)
        gwg, gwy, ywy = ge @ (w * ge), y @ (w * ge), y @ (w * y)
        beta = gwy / gwg
        se = math.sqrt((ywy - gwy * gwy / gwg) / (len(y) - 1) / gwg)
        np.testing.assert_allclose(out[e, :2], [beta, se], rtol=1e-10)


def test_assoc_zero_marker_and_exact_fit():
    # Weights 1, 1/2, 1/4 are exact in float32 and y = 2 g, so every sum is exact and RSS1 = 0.
    s = np.array([0.0, 1.0, 3.0])
    y = np.array([2.0, 4.0, -6.0])
    g = np.array([[1, 2, -3], [0, 0, 0]], dtype=np.float32)
    out = assoc(s, np.empty((3, 0)), y, 0.0, g)
    np.testing.assert_array_equal(out[0], [2.0, 0.0, 1.0])
    assert np.all(np.isnan(out[1]))


# ---- validation ---------------------------------------------------------------------------------

def bad_inputs(kind):
    s, x, y, g = example_b()
    if kind == "xcov_rows":
        return s, x[:5], y, g[:, :5]          # also wrong g: the row check comes first
    if kind == "s_len":
        return s[:5].copy(), x, y, g[:, :5]   # also wrong g
    if kind == "g_cols":
        return s, x, y, g[:, :5]
    raise AssertionError(kind)


@pytest.mark.parametrize("kind, reml_message, assoc_message", [
    ("xcov_rows", "Xcov.n_rows must equal len(y_rot)", "Xcov.n_rows must equal len(y_rot)"),
    ("s_len", "len(S) must equal len(y_rot)", "len(S) must equal len(y_rot)"),
    ("g_cols", "g_rot_chunk must be (m_chunk, n)", "g_rot_chunk must be (m, n)"),
])
def test_shape_checks_in_order(kind, reml_message, assoc_message):
    s, x, y, g = bad_inputs(kind)
    with pytest.raises(RuntimeError) as info:
        reml(s, x, y, 1.0, -1.0, g)  # the interval is bad too, and checked last
    assert info.value.args == (reml_message,)
    with pytest.raises(RuntimeError) as info:
        assoc(s, x, y, 400.0, g)  # lambda is bad too, and checked last
    assert info.value.args == (assoc_message,)


def test_assoc_sample_count_checked_before_lambda():
    s, x, y, g = example_b()
    x3 = np.column_stack([x, x[:, 1] ** 2, x[:, 1] ** 3, x[:, 0] * 2])  # p = 5, n = 6
    with pytest.raises(RuntimeError, match=r"^n must be > p_cov\+1$"):
        assoc(s, x3, y, math.nan, g)


def test_assoc_numerical_refusals():
    s, x, y, g = example_a()
    with pytest.raises(RuntimeError, match=r"^non-positive s\[i\]\+lbd$"):
        assoc(s - 1.5, x, y, 0.0, g)       # s + lambda = -0.4 for the last sample
    with pytest.raises(RuntimeError, match=r"^non-positive s\[i\]\+lbd$"):
        assoc(np.array([2.0, -1.0, 0.5, 0.1]), x, y, 0.0, g)  # exactly 0
    # Two identical columns of 2^20 with unit weights: the ridge is lost and a pivot is exactly 0.
    big = np.full((4, 2), 2.0 ** 20)
    with pytest.raises(RuntimeError, match=r"^X'WX not SPD$"):
        assoc(np.zeros(4), big, y, 0.0, g)


@pytest.mark.parametrize("func", ["reml", "assoc"])
@pytest.mark.parametrize("arg", ["s", "y_rot"])
def test_non_contiguous_vectors_are_type_errors(func, arg):
    s, x, y, g = example_b()
    args = {"s": s, "xcov": x, "y_rot": y, "g_rot_chunk": g}
    args[arg] = np.repeat(args[arg], 2)[::2]  # same values, stride 16 bytes
    with pytest.raises(TypeError, match=arg):
        if func == "reml":
            reml(low=1.0, high=-1.0, **args)  # a TypeError comes before any validation
        else:
            assoc(log10_lbd=math.nan, **args)


def test_wrong_marker_dtype_is_type_error():
    s, x, y, g = example_a()
    with pytest.raises(TypeError, match="g_rot_chunk"):
        reml(s, x, y, -1.0, 1.0, g.astype(np.float64))
    with pytest.raises(TypeError, match="g_rot_chunk"):
        assoc(s, x, y, 0.0, g.astype(np.float64))


def test_empty_chunk():
    s, x, y, g = example_b()
    bsp, lambdas = reml(s, x, y, -1.0, 1.0, g[:0])
    assert bsp.shape == (0, 3) and lambdas.shape == (0,)
    assert assoc(s, x, y, 0.0, g[:0]).shape == (0, 3)


# ---- threads and layouts ------------------------------------------------------------------------

def test_results_are_identical_for_any_threads_and_marker_strides():
    s, x, y, g = simulated(n=50, p=2, m=40, seed=3)
    ref_reml = reml(s, x, y, -4.0, 4.0, g, threads=1)
    ref_assoc = assoc(s, x, y, 0.4, g, threads=1)
    wide = np.zeros((g.shape[0] * 2, g.shape[1] * 3), dtype=np.float32)
    wide[::2, ::3] = g
    strided = wide[::2, ::3]                  # same values, non-unit strides in both directions
    fortran = np.asfortranarray(g)
    for threads in (0, 2, 5):
        for markers in (g, strided, fortran):
            got = reml(s, x, y, -4.0, 4.0, markers, threads=threads)
            np.testing.assert_array_equal(got[0], ref_reml[0])
            np.testing.assert_array_equal(got[1], ref_reml[1])
            np.testing.assert_array_equal(assoc(s, x, y, 0.4, markers, threads=threads), ref_assoc)


def test_concurrent_calls_from_python_threads():
    s, x, y, g = simulated(n=60, p=2, m=60, seed=4)
    expected = reml(s, x, y, -4.0, 4.0, g)
    results = [None] * 4

    def work(i):
        results[i] = reml(s, x, y, -4.0, 4.0, g, threads=i % 2)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got in results:
        np.testing.assert_array_equal(got[0], expected[0])
        np.testing.assert_array_equal(got[1], expected[1])


# ---- independent checks -------------------------------------------------------------------------

def test_reml_matches_numpy_wls_and_likelihood_grid():
    s, x, y, g = simulated(n=80, p=3, m=12, log10_lambda=0.3, seed=1)
    low, high, tol = -5.0, 5.0, 1e-2
    bsp, lambdas = reml(s, x, y, low, high, g, tol=tol)
    grid = np.linspace(low, high, 10001)
    step = grid[1] - grid[0]
    checked = 0
    for e in range(g.shape[0]):
        # Weighted least squares at the returned lambda (without the 1e-6 ridge of the scan).
        beta, se = wls_fit(s, x, y, g[e], lambdas[e])
        np.testing.assert_allclose(bsp[e, :2], [beta, se], rtol=1e-6)
        # Dense grid of the likelihood: on unimodal curves the returned x is the maximum.
        ll = reml_loglik(s, x, y, g[e], grid)
        rises = np.diff(ll) > 0
        if np.count_nonzero(rises[1:] != rises[:-1]) > 1:
            continue  # not unimodal
        checked += 1
        x_best = grid[np.argmax(ll)]
        x_found = math.log10(lambdas[e])
        assert abs(x_found - x_best) <= 4 * (tol * abs(x_found) + 2.3e-16) + step, (e, x_found,
                                                                                      x_best)
    assert checked >= g.shape[0] // 2


@pytest.mark.parametrize("target", [-2.0, 3.7])
def test_reml_finds_interior_maximum_left_or_right(target):
    # Eigenvalues spread over ten decades make lambda identifiable anywhere in the interval.
    s = 10.0 ** np.linspace(-4.0, 6.5, 400)
    s, x, y, g = simulated(n=400, p=2, m=3, log10_lambda=target, seed=7, s=s)
    _, lambdas = reml(s, x, y, -5.0, 5.0, g)
    grid = np.linspace(-5.0, 5.0, 4001)
    for e in range(3):
        ll = reml_loglik(s, x, y, g[e], grid)
        rises = np.diff(ll) > 0
        assert np.count_nonzero(rises[1:] != rises[:-1]) == 1  # unimodal
        x_best = grid[np.argmax(ll)]
        assert x_best * target > 0  # on the side of the midpoint where it was planted
        assert abs(math.log10(lambdas[e]) - x_best) <= 4 * 0.01 * abs(x_best) + grid[1] - grid[0]


def test_assoc_matches_numpy_wls():
    s, x, y, g = simulated(n=80, p=3, m=12, seed=2)
    log10_lbd = -0.7
    out = assoc(s, x, y, log10_lbd, g)
    w32 = (1.0 / (s + 10.0 ** log10_lbd)).astype(np.float32).astype(np.float64)
    for e in range(g.shape[0]):
        beta, se = wls_fit(s, x, y, g[e], None, weights=w32)
        np.testing.assert_allclose(out[e, :2], [beta, se], rtol=1e-7)
        z = beta / se
        assert out[e, 2] == pytest.approx(math.erfc(abs(z) / math.sqrt(2)), rel=1e-6)
    # The REML scan at the same lambda (max_iter = 0: the midpoint) agrees to float32 precision.
    bsp, _ = reml(s, x, y, log10_lbd - 1, log10_lbd + 1, g, max_iter=0)
    np.testing.assert_allclose(out, bsp, rtol=1e-5, atol=1e-7)


@pytest.mark.parametrize("scan", ["reml", "assoc"])
def test_lock_released_during_scan(scan):
    n = 400
    rng = np.random.default_rng(8)
    s = np.abs(rng.standard_normal(n))
    x = np.ones((n, 1))
    y = rng.standard_normal(n)
    row = rng.standard_normal(n).astype(np.float32)
    if scan == "reml":
        call = lambda: reml(s, x, y, -5.0, 5.0, np.broadcast_to(row, (3000, n)), threads=1)
    else:
        call = lambda: assoc(s, x, y, 0.0, np.broadcast_to(row, (300_000, n)), threads=1)

    _, longest, duration = run_beside_spinner(call)
    # Holding the lock would stall the spinner for the whole scan.
    assert longest < 0.5 * duration, (longest, duration)
