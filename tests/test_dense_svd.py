"""block_randomized_svd: the dense randomized SVD (checks, exactness guarantees, accuracy, GIL)."""
import inspect
import pathlib
import threading
import time

import numpy as np
import pytest

import korvex

svd = korvex.block_randomized_svd


def bits(*arrays):
    """Exact bytes of the results, so that -0.0 vs 0.0 and NaN payloads count as differences."""
    return [np.ascontiguousarray(x).tobytes() for x in arrays]


def mixed_matrix(m, n, seed=0):
    """Rows of every density (all zero, sparse, half, dense) in runs, signed zeros and 0/1/2
    values, so that the sparse and the dense kernels all run."""
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((m, n))
    rows = np.arange(m)
    sparse = np.array([0.0, 0.05, 0.15, 0.1, 0.02])[rows % 5]
    mixed = np.array([0.0, 0.05, 0.45, 1.0, 0.6])[rows % 5]
    group = (rows // 16) % 3  # runs of 16 sparse, mixed and dense rows
    keep = np.where(group == 0, sparse, np.where(group == 1, mixed, 1.0))[:, None]
    a = np.where(rng.random((m, n)) < keep, a, np.where(rng.random((m, n)) < 0.5, 0.0, -0.0))
    a[3::7] = rng.integers(0, 3, size=a[3::7].shape)
    return a


def low_rank(m, n, spectrum, seed=0, noise=0.0):
    rng = np.random.default_rng(seed)
    r = len(spectrum)
    u, _ = np.linalg.qr(rng.standard_normal((m, r)))
    v, _ = np.linalg.qr(rng.standard_normal((n, r)))
    a = (u * spectrum) @ v.T
    if noise:
        a += noise * rng.standard_normal((m, n))
    return a


# ---- surface -------------------------------------------------------------------------------------


def test_signature_and_docstring():
    sig = inspect.signature(svd)
    assert list(sig.parameters) == ["a", "k", "oversample", "n_iter", "block_rows", "seed"]
    assert [p.default for p in sig.parameters.values()][2:] == [10, 2, 4096, 0]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert svd.__doc__ == (
        "Blocked randomized SVD for a dense matrix.\n"
        "Returns (U, S, Vt) with shapes (m, k), (k,), (k, n).\n"
        "Non-contiguous inputs are copied into a row-major buffer.")


@pytest.mark.parametrize("args, kwargs, exc, needle", [
    ((np.zeros((4, 4), np.float32), 1), {}, TypeError, "a"),
    ((np.zeros(16), 1), {}, TypeError, "a"),
    ((np.zeros((2, 2, 2)), 1), {}, TypeError, "a"),
    (([[1.0, 2.0], [3.0, 4.0]], 1), {}, TypeError, "a"),
    ((np.zeros((4, 4), np.int64), 1), {}, TypeError, "a"),
    ((np.zeros((4, 4)), -1), {}, OverflowError, None),
    ((np.zeros((4, 4)), 2.0), {}, TypeError, "k"),
    ((np.zeros((4, 4)), 1, None), {}, TypeError, "oversample"),
    ((np.zeros((4, 4)), 1), {"seed": 2 ** 64}, OverflowError, None),
    ((np.zeros((4, 4)), 1), {"block_rows": -3}, OverflowError, None),
    ((np.zeros((4, 4)),), {}, TypeError, None),
    ((np.zeros((4, 4)), 1), {"k": 1}, TypeError, None),
    ((np.zeros((4, 4)), 1), {"rank": 1}, TypeError, None),
    ((np.zeros((4, 4)), 1, 1, 1, 1, 1, 1), {}, TypeError, None),
])
def test_argument_conversion_errors(args, kwargs, exc, needle):
    with pytest.raises(exc) as info:
        svd(*args, **kwargs)
    if needle is not None:
        assert f"'{needle}'" in str(info.value)


def test_numpy_integer_scalars_and_index_objects_are_accepted():
    a = mixed_matrix(30, 20)
    want = bits(*svd(a, 3, 4, 1, 8, 5))
    assert bits(*svd(a, np.uint8(3), np.int64(4), 1, 8, np.uint64(5))) == want


# ---- failures, in order --------------------------------------------------------------------------

U64_MAX = 2 ** 64 - 1


@pytest.mark.parametrize("shape, k, oversample, message", [
    ((0, 5), 0, U64_MAX, "input matrix must be non-empty"),  # first check wins
    ((5, 0), 1, 0, "input matrix must be non-empty"),
    ((20, 20), 0, U64_MAX, "k must be in 1..=20"),  # before the overflow check
    ((20, 20), 21, 10, "k must be in 1..=20"),
    ((30, 20), 21, 0, "k must be in 1..=20"),
    ((20, 30), 21, 0, "k must be in 1..=20"),
    ((20, 20), 1, U64_MAX, "k + oversample overflow"),
    ((20, 20), 5, U64_MAX - 4, "k + oversample overflow"),
    ((20, 20), 5, U64_MAX - 5, "k + oversample must be in 1..=min(m,n)"),
    ((20, 20), 11, 10, "k + oversample must be in 1..=min(m,n)"),
    ((7, 40), 3, 5, "k + oversample must be in 1..=min(m,n)"),
])
def test_failure_messages(shape, k, oversample, message):
    with pytest.raises(RuntimeError) as info:
        svd(np.ones(shape), k, oversample)
    assert info.value.args == (message,)


@pytest.mark.parametrize("shape, k, oversample", [((20, 20), 5, 10), ((20, 20), 20, 0), ((9, 4), 4, 0),
                                                   ((1, 1), 1, 0), ((3, 50), 1, 2)])
def test_accepted_shapes_and_result_arrays(shape, k, oversample):
    a = mixed_matrix(*shape) + 1.0
    u, s, vt = svd(a, k, oversample)
    m, n = shape
    assert (u.shape, s.shape, vt.shape) == ((m, k), (k,), (k, n))
    for x in (u, s, vt):
        assert x.dtype == np.float64 and x.flags.c_contiguous and x.flags.writeable
        assert not np.shares_memory(x, a)
    assert np.all(np.diff(s) <= 0)


# ---- exactness guarantees ------------------------------------------------------------------------


def test_block_rows_do_not_change_a_single_bit():
    a = mixed_matrix(103, 47, seed=1)
    want = bits(*svd(a, 6, 7, 2, 0, 11))
    for block in (1, 7, 16, 103, 104, 4096, U64_MAX):
        assert bits(*svd(a, 6, 7, 2, block, 11)) == want, block


def test_layouts_give_the_bits_of_the_c_contiguous_copy():
    base = mixed_matrix(90, 64, seed=2)
    fortran = np.asfortranarray(base[:60, :40])
    views = [
        fortran,
        base[::2, ::3],
        base[::-1, 5:45],
        base.T[:40, :60],
        np.broadcast_to(base[0], (50, 64)),  # zero row stride
    ]
    raw = np.zeros(60 * 40 * 8 + 1, np.uint8)[1:].view(np.float64).reshape(60, 40)  # unaligned
    raw[...] = base[:60, :40]
    views.append(raw)
    for view in views:
        before = view.copy()
        got = bits(*svd(view, 4, 6, 1, 5, 3))
        assert got == bits(*svd(np.ascontiguousarray(view), 4, 6, 1, 5, 3))
        np.testing.assert_array_equal(view, before)


def test_repeated_calls_are_identical_and_seeds_differ():
    a = mixed_matrix(80, 50, seed=3)
    first = bits(*svd(a, 5, seed=7))
    assert bits(*svd(a, 5, seed=7)) == first
    assert bits(*svd(a.copy(), 5, seed=7)) == first
    assert bits(*svd(a, 5, seed=8)) != first


def test_read_only_input():
    a = mixed_matrix(40, 30, seed=4)
    want = bits(*svd(a, 4))
    a.flags.writeable = False
    assert bits(*svd(a, 4)) == want


# ---- the Gaussian test matrix --------------------------------------------------------------------

TESTDATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "testdata"


@pytest.mark.parametrize("seed, name", [(0, "gaussian_seed0_first64.txt"),
                                        (2 ** 64 - 1, "gaussian_seedmax_first64.txt")])
@pytest.mark.parametrize("rows, cols", [(16, 4), (32, 2), (21, 3)])
def test_sketch_spans_the_reference_test_matrix(seed, name, rows, cols):
    """With A = I (rows x rows) and l = cols, Y = Omega, so U spans the columns of the test matrix
    whose entry (i, j) is deviate i * cols + j of the seed's reference stream."""
    path = TESTDATA / name
    if not path.exists():
        pytest.skip(f"{path} not available")
    deviates = np.array([float(x) for x in path.read_text().split()])
    omega = deviates[: rows * cols].reshape(rows, cols)
    u, s, _ = svd(np.eye(rows), cols, 0, 2, 4096, seed)
    np.testing.assert_allclose(s, 1.0, rtol=1e-12)
    np.testing.assert_allclose(u @ (u.T @ omega), omega, atol=1e-10)
    # The transposed draw order spans a different space.
    other = deviates[: rows * cols].reshape(cols, rows).T
    assert np.linalg.norm(u @ (u.T @ other) - other) > 1e-3


# ---- accuracy ------------------------------------------------------------------------------------


def check_orthonormal(u, vt, tol=1e-12):
    k = u.shape[1]
    np.testing.assert_allclose(u.T @ u, np.eye(k), atol=tol)
    np.testing.assert_allclose(vt @ vt.T, np.eye(k), atol=tol)


@pytest.mark.parametrize("m, n", [(300, 120), (120, 300)])
def test_exact_low_rank_matches_numpy(m, n):
    spectrum = 10.0 * 0.7 ** np.arange(8)
    a = low_rank(m, n, spectrum, seed=5)
    u, s, vt = svd(a, 5)
    exact = np.linalg.svd(a, compute_uv=False)
    np.testing.assert_allclose(s, exact[:5], rtol=1e-8)
    check_orthonormal(u, vt)
    # The triplets belong together: A v_t = s_t u_t.
    np.testing.assert_allclose(a @ vt.T, u * s, atol=1e-9)


@pytest.mark.parametrize("n_iter", [0, 1, 2, 4])
def test_low_rank_plus_noise_reaches_the_best_rank_k_error(n_iter):
    spectrum = 100.0 * 0.8 ** np.arange(30)
    a = low_rank(400, 200, spectrum, seed=6, noise=0.01)
    k = 10
    u, s, vt = svd(a, k, 10, n_iter)
    check_orthonormal(u, vt)
    exact = np.linalg.svd(a, compute_uv=False)
    best = np.sqrt(np.sum(exact[k:] ** 2))
    err = np.linalg.norm(a - (u * s) @ vt)
    assert err <= best * (1.5 if n_iter == 0 else 1.01)
    if n_iter >= 2:
        np.testing.assert_allclose(s, exact[:k], rtol=1e-6)


def test_exact_rank_below_k():
    a = low_rank(60, 40, [5.0, 3.0, 1.0], seed=7)
    u, s, vt = svd(a, 6, 4)
    np.testing.assert_allclose(s[:3], [5.0, 3.0, 1.0], rtol=1e-10)
    assert np.all(s[3:] < 1e-12)
    np.testing.assert_allclose(u.T @ u, np.eye(6), atol=1e-10)
    # A row of Vt is all zero exactly when its singular value is exactly zero.
    for t in range(6):
        assert np.all(vt[t] == 0.0) == (s[t] == 0.0)


def test_all_zero_matrix():
    u, s, vt = svd(np.zeros((30, 12)), 4, 3)
    assert np.all(s == 0.0)
    assert np.all(vt == 0.0)
    np.testing.assert_allclose(u.T @ u, np.eye(4), atol=1e-14)


def test_swapping_rows_swaps_rows_of_u():
    a = low_rank(50, 30, [9.0, 4.0, 2.0, 1.0], seed=8, noise=1e-3)
    u, s, _ = svd(a, 3)
    perm = np.arange(50)
    perm[[4, 17]] = perm[[17, 4]]
    u2, s2, _ = svd(a[perm], 3)
    np.testing.assert_allclose(s2, s, rtol=1e-10)
    signs = np.sign(np.sum(u[perm] * u2, axis=0))
    np.testing.assert_allclose(u2 * signs, u[perm], atol=1e-8)


# ---- NaN and infinity: a clean failure, never a hang ---------------------------------------------


def call_with_deadline(*args, seconds=20.0):
    out = {}

    def run():
        try:
            out["value"] = svd(*args)
        except Exception as exc:  # noqa: BLE001 - handed to the caller
            out["error"] = exc

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(seconds)
    assert not worker.is_alive(), "block_randomized_svd did not return"
    return out


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, "overflow"])
def test_non_finite_input_fails_cleanly(bad):
    a = mixed_matrix(40, 30, seed=9)
    if bad == "overflow":
        a = np.full((40, 30), 1e300)  # finite entries whose products overflow
    else:
        a[11, 7] = bad
    out = call_with_deadline(a, 4)
    assert isinstance(out.get("error"), RuntimeError)
    assert out["error"].args == (
        "input matrix contains NaN or infinite values, or the products overflowed",)


# ---- the interpreter lock ------------------------------------------------------------------------


def test_interpreter_lock_is_released_during_the_call():
    a = np.random.default_rng(10).random((3000, 1500))
    started, done = threading.Event(), threading.Event()

    def work():
        started.set()
        svd(a, 10, 10, 6)
        done.set()

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    t0 = time.perf_counter()
    ticks = 0
    while not done.is_set():
        ticks += 1
    elapsed = time.perf_counter() - t0
    worker.join()
    # With the lock held for the whole call this thread would not run at all meanwhile.
    assert elapsed > 0.02
    assert ticks > 10_000
