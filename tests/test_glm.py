"""glmf32: the per-marker least-squares scan with Student-t p-values."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy import stats

import korvex
from lock_check import run_beside_spinner

NAN = float("nan")


def small_case():
    """n = 4 samples, an intercept-only covariate matrix and its inverse cross-product."""
    y = np.array([1.0, 2.0, 3.0, 5.0])
    x = np.ones((4, 1))
    ixx = np.array([[0.25]])
    return y, x, ixx


def random_case(n, q0, m, seed=0):
    """Intercept plus q0 - 1 normal covariates (none for q0 = 0), a phenotype with a planted
    effect of marker 0, dosage markers."""
    rng = np.random.default_rng(seed)
    x = np.column_stack([np.ones(n), rng.normal(size=(n, 2 + q0))])[:, :q0]
    g = rng.integers(0, 3, size=(m, n)).astype(np.float32)
    g[1:2] += rng.normal(scale=0.1, size=n).astype(np.float32)  # non-integer dosages
    y = x @ rng.normal(size=q0) + 0.8 * g[:1].sum(axis=0) + rng.normal(size=n)
    ixx = np.linalg.inv(x.T @ x) if q0 else np.zeros((0, 0))
    return y, x, ixx, g


def reference_scan(y, x, g):
    """Per marker: least squares on [X, g] by numpy.linalg.lstsq, Student-t p-values by SciPy."""
    n, q0 = x.shape
    df = n - q0 - 1
    rows = []
    for marker in g.astype(np.float64):
        a = np.column_stack([x, marker])
        beta = np.linalg.lstsq(a, y, rcond=None)[0]
        resid = y - a @ beta
        sigma2 = resid @ resid / df
        se = np.sqrt(sigma2 * np.diag(np.linalg.inv(a.T @ a)))
        p = 2.0 * stats.t.sf(np.abs(beta / se), df)
        rows.append(np.concatenate([[beta[-1], se[-1]], p]))
    return np.array(rows).reshape(len(g), q0 + 3)


@pytest.mark.parametrize(
    "marker, expected",
    [
        ([0, 1, 2, 3], [1.3, 0.1732050808, 0.1322781687, 0.01729237018]),
        # Identical to the intercept, and all zeros: collinear (S = 0), covariate-only fit, df = 3.
        ([1, 1, 1, 1], [NAN, NAN, 0.04856685656, NAN]),
        ([0, 0, 0, 0], [NAN, NAN, 0.04856685656, NAN]),
    ],
)
def test_worked_examples(marker, expected):
    y, x, ixx = small_case()
    out = korvex.glmf32(y, x, ixx, np.array([marker], dtype=np.float32))
    assert out.shape == (1, 4) and out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_allclose(out[0], expected, rtol=5e-10, equal_nan=True)


def test_ixx_used_as_given():
    """ixx is neither checked nor symmetrised: the marker terms use b = ixx' X'g."""
    y, x, ixx, g = random_case(25, 2, 3, seed=11)
    skewed = ixx + np.array([[0.0, 0.01], [-0.02, 0.0]])
    out = korvex.glmf32(y, x, skewed, g)
    for row, marker in zip(out, g.astype(np.float64)):
        xg = x.T @ marker
        b = skewed.T @ xg
        sinv = 1.0 / (marker @ marker - b @ xg)
        minv = np.block([[skewed + np.outer(b, b) * sinv, -b[:, None] * sinv], [-b * sinv, sinv]])
        beta = minv @ np.append(x.T @ y, marker @ y)
        sigma2 = (y @ y - beta @ np.append(x.T @ y, marker @ y)) / (25 - 3)
        se = np.sqrt(np.diag(minv) * sigma2)
        np.testing.assert_allclose(row[:2], [beta[-1], se[-1]], rtol=1e-10)
        np.testing.assert_allclose(row[2:], 2 * stats.t.sf(np.abs(beta / se), 22), rtol=1e-8)


def test_no_covariates():
    rng = np.random.default_rng(3)
    n = 30
    y = rng.normal(size=n)
    g = rng.normal(size=(5, n)).astype(np.float32)
    out = korvex.glmf32(y, np.zeros((n, 0)), np.zeros((0, 0)), g)
    assert out.shape == (5, 3)
    gd = g.astype(np.float64)
    beta = gd @ y / np.einsum("ij,ij->i", gd, gd)
    resid = y - beta[:, None] * gd
    se = np.sqrt(np.einsum("ij,ij->i", resid, resid) / (n - 1) / np.einsum("ij,ij->i", gd, gd))
    np.testing.assert_allclose(out[:, 0], beta, rtol=1e-9)
    np.testing.assert_allclose(out[:, 1], se, rtol=1e-9)
    np.testing.assert_allclose(out[:, 2], 2 * stats.t.sf(np.abs(beta / se), n - 1), rtol=1e-8)


@pytest.mark.parametrize("q0", [0, 2])
def test_no_markers(q0):
    y, x, ixx, _ = random_case(10, q0, 0)
    out = korvex.glmf32(y, x, ixx, np.zeros((0, 10), dtype=np.float32))
    assert out.shape == (0, q0 + 3) and out.dtype == np.float64


@pytest.mark.parametrize("q0", [3, 10])
def test_matches_lstsq_reference(q0):
    y, x, ixx, g = random_case(203, q0, 40, seed=q0)
    out = korvex.glmf32(y, x, ixx, g)
    ref = reference_scan(y, x, g)
    np.testing.assert_allclose(out[:, :2], ref[:, :2], rtol=1e-9)
    p, p_ref = out[:, 2:], ref[:, 2:]
    big = p_ref > 1e-300
    np.testing.assert_allclose(p[big], p_ref[big], rtol=1e-8)
    assert (p[~big] == 2.2250738585072014e-308).all()
    assert out[0, -1] < 1e-10  # the planted effect is found


@pytest.mark.parametrize("q0", [0, 3, 10])
def test_identical_for_any_threads_step_and_layout(q0):
    y, x, ixx, g = random_case(57, q0, 37, seed=7)
    base = korvex.glmf32(y, x, ixx, g)
    # step 1 runs every marker alone, larger steps run markers in groups: the same bits either way.
    for threads in (0, 1, 8):
        for step in (1, 3, 4, 10, 36, 10000):
            out = korvex.glmf32(y, x, ixx, g, step=step, threads=threads)
            assert out.tobytes() == base.tobytes(), (threads, step)
    # Strided and Fortran-ordered inputs (g, x, ixx may have any layout).
    wide = np.zeros((37, 2 * 57), dtype=np.float32)
    wide[:, ::2] = g
    reversed_rows = np.ascontiguousarray(g[::-1])[::-1]
    for g_view in (wide[:, ::2], np.asfortranarray(g), reversed_rows):
        out = korvex.glmf32(y, np.asfortranarray(x), np.asfortranarray(ixx), g_view, threads=2)
        assert out.tobytes() == base.tobytes()


def test_arguments_by_keyword():
    y, x, ixx = small_case()
    g = np.array([[0, 1, 2, 3]], dtype=np.float32)
    out = korvex.glmf32(g=g, ixx=ixx, x=x, y=y, threads=1, step=5)
    assert out[0, 0] == pytest.approx(1.3, rel=1e-12)


def test_docstring():
    assert korvex.glmf32.__doc__ == (
        "Fast GLM interface:\ny: (n,) float64\nX: (n, q0) float64\nixx: (q0, q0) float64\n"
        "G: (m, n) float32 (marker rows)\n\nReturns: (m, q0 + 3) float64\n  col0: beta_snp\n"
        "  col1: se_snp\n  col2..: p-values for coefficients (q0 covariates + snp)"
    )
    assert korvex.glmf32.__text_signature__ == "(y, x, ixx, g, step=10000, threads=0)"


def _args(n=6, q0=2, m=3, x_rows=None, ixx_shape=None, g_cols=None):
    return (
        np.arange(n, dtype=np.float64),
        np.ones((n if x_rows is None else x_rows, q0)),
        np.eye(*(ixx_shape or (q0, q0))),
        np.ones((m, n if g_cols is None else g_cols), dtype=np.float32),
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (_args(x_rows=5, ixx_shape=(3, 3), g_cols=4), {}, "X.n_rows must equal len(y)"),
        # ixx is checked before g: (n, q0) instead of (q0, q0), and g has the wrong width too.
        (_args(ixx_shape=(6, 2), g_cols=4), {}, "ixx must be (q0,q0)"),
        (_args(ixx_shape=(2, 3)), {}, "ixx must be (q0,q0)"),
        (_args(g_cols=5), {}, "G must be shape (m, n) for float32 fast path"),
        (_args(n=3, q0=2), {}, "n too small: require n > q0+1, got n=3, q0=2"),
        (_args(n=1, q0=0), {"step": 0}, "n too small: require n > q0+1, got n=1, q0=0"),
        (_args(), {"step": 0}, "step must be > 0"),
        (_args(m=0), {"step": 0, "threads": 2}, "step must be > 0"),
    ],
)
def test_validation_errors(args, kwargs, message):
    with pytest.raises(RuntimeError) as info:
        korvex.glmf32(*args, **kwargs)
    assert str(info.value) == message


def test_argument_type_errors():
    y, x, ixx, g = _args()
    with pytest.raises(TypeError, match="'y'"):
        korvex.glmf32(np.arange(12, dtype=np.float64)[::2], x, ixx, g)
    # The contiguity of y is checked before any shape validation.
    with pytest.raises(TypeError, match="'y'"):
        korvex.glmf32(np.arange(10, dtype=np.float64)[::2], x, ixx, g)
    with pytest.raises(TypeError, match="'g'"):
        korvex.glmf32(y, x, ixx, g.astype(np.float64))
    with pytest.raises(OverflowError):
        korvex.glmf32(y, x, ixx, g, step=-1)


def test_lock_released_during_scan():
    n, m = 2000, 150_000
    rng = np.random.default_rng(5)
    y = rng.normal(size=n)
    x = np.ones((n, 1))
    ixx = np.array([[1.0 / n]])
    g = np.broadcast_to(rng.integers(0, 3, size=n).astype(np.float32), (m, n))  # one row, m times

    out, longest, duration = run_beside_spinner(lambda: korvex.glmf32(y, x, ixx, g, threads=1))
    assert out.shape == (m, 4) and np.isfinite(out).all()
    # Holding the lock would stall the spinner for the whole scan.
    assert longest < 0.5 * duration, (longest, duration)


def test_thread_pool_failure_is_runtime_error():
    script = textwrap.dedent(
        """
        import resource
        import numpy as np
        import korvex

        y = np.arange(8.0)
        x = np.ones((8, 1))
        ixx = np.array([[1 / 8]])
        g = np.ones((2, 8), dtype=np.float32)
        korvex.glmf32(y, x, ixx, g, threads=1)
        with open("/proc/self/status") as f:
            vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
        limit = vm + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            korvex.glmf32(y, x, ixx, g, threads=4000)
        except RuntimeError as e:
            print("RuntimeError:" + str(e))
        else:
            print("no error")
        print(korvex.glmf32(y, x, ixx, g, threads=1).shape)
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=dict(os.environ),
        timeout=120,
    )
    if "no error" in result.stdout:
        pytest.skip("the address-space limit did not stop thread creation here")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("RuntimeError:thread pool: "), result.stdout
    assert len(lines[0]) > len("RuntimeError:thread pool: ")
    assert lines[1] == "(2, 4)"  # the module still works
