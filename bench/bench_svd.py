"""Dense randomized SVD: korvex.block_randomized_svd against scikit-learn's randomized_svd.

    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE \\
        PYTHONPATH=build .venv/bin/python bench/bench_svd.py [--repeat 3] [--quick]

Both sides compute k = 10 triplets with a sketch of k + 10 columns and 2 power iterations
without normalisation between them (scikit-learn: n_oversamples=10, n_iter=2,
power_iteration_normalizer='none'). korvex runs on the calling thread, so scikit-learn's BLAS is
limited to one thread with threadpoolctl for the comparison; the BLAS kernel threadpoolctl reports
is printed. Matrices (float64, C order):

  * 20,000 x 2,000 and 5,000 x 5,000: rank-50 signal with a decaying spectrum plus Gaussian noise;
  * 20,000 x 2,000 genotype-like 0/1/2 matrix with about 60% zeros (two populations with different
    allele frequencies), where korvex skips the zero entries.

Accuracy: the 10 singular values of each side against the exact ones (from the eigenvalues of
A^T A, for matrices with at most 2,000 columns) or against each other, and the relative residual
||A - U S Vt||_F of each side against the best rank-10 residual where the exact values are known.
OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE slow OpenBLAS down when set; the script re-executes itself
without them (pass --keep-env to keep them).
"""

import argparse
import os
import resource
import subprocess
import sys
import time

BLAS_ENV = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def reexec_without_blas_env():
    if "--keep-env" in sys.argv or not any(v in os.environ for v in BLAS_ENV):
        return
    env = {k: v for k, v in os.environ.items() if k not in BLAS_ENV}
    os.execve(sys.executable, [sys.executable] + sys.argv, env)


reexec_without_blas_env()

import numpy as np  # noqa: E402

import korvex  # noqa: E402


def ensure_peers():
    try:
        import sklearn  # noqa: F401
        import threadpoolctl  # noqa: F401
    except ImportError:
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                        "scikit-learn", "threadpoolctl"], check=True)


K, OVERSAMPLE, N_ITER = 10, 10, 2


def low_rank_plus_noise(m, n, seed, rank=50, noise=0.05):
    rng = np.random.default_rng(seed)
    spectrum = 100.0 * 0.85 ** np.arange(rank)
    left = rng.standard_normal((m, rank)) / np.sqrt(m)
    right = rng.standard_normal((rank, n)) / np.sqrt(n)
    a = (left * spectrum) @ right
    a += noise * rng.standard_normal((m, n)) / np.sqrt(max(m, n))
    return np.ascontiguousarray(a)


def genotype_like(m, n, seed):
    """0/1/2 counts; two populations of n/2 columns with frequencies p and p +- 0.1 per row."""
    rng = np.random.default_rng(seed)
    p = rng.uniform(0.05, 0.45, size=(m, 1))
    shift = rng.uniform(-0.1, 0.1, size=(m, 1))
    freq = np.concatenate([np.broadcast_to(p, (m, n // 2)),
                           np.broadcast_to(np.clip(p + shift, 0.01, 0.99), (m, n - n // 2))], axis=1)
    a = (rng.random((m, n)) < freq).astype(np.float64) + (rng.random((m, n)) < freq)
    return np.ascontiguousarray(a)


def best_time(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def exact_singular_values(a):
    if a.shape[1] > 2000:
        return None
    gram = a.T @ a
    ev = np.linalg.eigvalsh(gram)[::-1][:K]
    return np.sqrt(np.maximum(ev, 0.0))


def residual(a, u, s, vt):
    return np.linalg.norm(a - (u * s) @ vt) / np.linalg.norm(a)


def run_case(name, a, repeat, limits):
    from sklearn.utils.extmath import randomized_svd

    def run_korvex():
        return korvex.block_randomized_svd(a, K, OVERSAMPLE, N_ITER, 4096, 0)

    def run_sklearn():
        with limits(limits=1):
            return randomized_svd(a, K, n_oversamples=OVERSAMPLE, n_iter=N_ITER,
                                  power_iteration_normalizer="none", random_state=0)

    t_k, (u_k, s_k, vt_k) = best_time(run_korvex, repeat)
    t_s, (u_s, s_s, vt_s) = best_time(run_sklearn, repeat)
    zero_share = float(np.mean(a == 0.0))
    print(f"\n{name}: {a.shape[0]} x {a.shape[1]}, {zero_share:.0%} zeros")
    print(f"  korvex  {t_k:8.3f} s")
    print(f"  sklearn {t_s:8.3f} s (1 BLAS thread)   sklearn / korvex = {t_s / t_k:.2f}")

    with limits(limits=2):
        exact = exact_singular_values(a)
        r_k, r_s = residual(a, u_k, s_k, vt_k), residual(a, u_s, s_s, vt_s)
    print(f"  max |S_korvex - S_sklearn| / S_sklearn = {np.max(np.abs(s_k - s_s) / s_s):.2e}")
    if exact is not None:
        best = np.sqrt(max(np.linalg.norm(a) ** 2 - np.sum(exact ** 2), 0.0)) / np.linalg.norm(a)
        print(f"  max rel. error vs exact: korvex {np.max(np.abs(s_k - exact) / exact):.2e}, "
              f"sklearn {np.max(np.abs(s_s - exact) / exact):.2e}")
        print(f"  residual ||A - USVt||/||A||: korvex {r_k:.6f}, sklearn {r_s:.6f}, "
              f"best rank-{K} {best:.6f}")
    else:
        print(f"  residual ||A - USVt||/||A||: korvex {r_k:.6f}, sklearn {r_s:.6f}")
    return t_k, t_s


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="quarter-size matrices")
    parser.add_argument("--keep-env", action="store_true",
                        help="keep OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE")
    args = parser.parse_args()
    ensure_peers()
    import sklearn
    from threadpoolctl import threadpool_info, threadpool_limits

    info = [(p.get("internal_api"), p.get("architecture"), p.get("version"), p.get("num_threads"))
            for p in threadpool_info()]
    print(f"scikit-learn {sklearn.__version__}, numpy {np.__version__}")
    print("BLAS (internal_api, kernel, version, threads):", info)
    print("OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE:",
          [os.environ.get(v, "unset") for v in BLAS_ENV])

    div = 4 if args.quick else 1
    cases = [
        ("low rank + noise", lambda: low_rank_plus_noise(20_000 // div, 2_000 // div, 1)),
        ("low rank + noise", lambda: low_rank_plus_noise(5_000 // div, 5_000 // div, 2)),
        ("genotype-like 0/1/2", lambda: genotype_like(20_000 // div, 2_000 // div, 3)),
    ]
    for name, make in cases:
        a = make()
        run_case(name, a, args.repeat, threadpool_limits)
        del a
    print(f"\npeak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")


if __name__ == "__main__":
    main()
