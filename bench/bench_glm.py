"""Fast GLM scan: korvex against plink2 --glm, end to end on one PLINK fileset.

    PYTHONPATH=build .venv/bin/python bench/bench_glm.py [--samples 2000] [--variants 100000]

korvex: BedChunkReader chunks (default QC: every site kept, flipped to the minor allele) fed to
glmf32 with 2 threads, covariates = intercept + 3 columns. plink2: --glm with the same phenotype
and the same 3 covariates, --threads 2. The script checks that betas (sign-aligned on the counted
allele) and p-values agree, then times glmf32 alone on genotypes held in memory.
"""

import argparse
import os
import resource
import shutil
import subprocess
import sys
import time

import numpy as np

import korvex

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
N_COVARIATES = 3


def ensure_plink2():
    if shutil.which("plink2"):
        return "plink2"
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    install = ["apt-get", "install", "-y", "-qq", "plink2"]
    if subprocess.run(install, env=env, capture_output=True).returncode != 0:
        subprocess.run(["apt-get", "update", "-qq"], env=env, capture_output=True)
        subprocess.run(install, env=env, capture_output=True)
    return shutil.which("plink2")


# ---- data -----------------------------------------------------------------------------------------


def write_fileset(prefix, n_samples, n_variants, seed=0, block=10_000):
    """A PLINK fileset without missing calls (allele frequencies 0.05..0.95, so about half the sites
    are flipped by the reader's QC). Used when bench/plink_data.py is not available."""
    rng = np.random.default_rng(seed)
    with open(prefix + ".fam", "w") as f:
        for i in range(n_samples):
            f.write(f"F{i} I{i} 0 0 0 -9\n")
    alleles = np.array(list("ACGT"))
    with open(prefix + ".bim", "w") as f:
        for v in range(n_variants):
            a1, a2 = rng.choice(alleles, 2, replace=False)
            f.write(f"1\trs{v}\t0\t{v + 1}\t{a1}\t{a2}\n")
    # 2-bit codes of the count of allele 2: 0 -> 00, 1 -> 10, 2 -> 11 (01 would be missing).
    code = np.array([0b00, 0b10, 0b11], dtype=np.uint8)
    pad = (-n_samples) % 4
    with open(prefix + ".bed", "wb") as f:
        f.write(bytes([0x6C, 0x1B, 0x01]))
        for lo in range(0, n_variants, block):
            hi = min(n_variants, lo + block)
            freq = rng.uniform(0.05, 0.95, size=(hi - lo, 1))
            dosage = rng.binomial(2, freq, size=(hi - lo, n_samples))
            codes = np.pad(code[dosage], ((0, 0), (0, pad))).reshape(hi - lo, -1, 4)
            packed = codes[:, :, 0] | codes[:, :, 1] << 2 | codes[:, :, 2] << 4 | codes[:, :, 3] << 6
            f.write(packed.astype(np.uint8).tobytes())


def read_bed(prefix, n_samples, lo, hi):
    """Counts of .bim allele 2 for variants [lo, hi), decoded with NumPy (no QC, no flip)."""
    per = (n_samples + 3) // 4
    with open(prefix + ".bed", "rb") as f:
        f.seek(3 + lo * per)
        raw = np.frombuffer(f.read((hi - lo) * per), dtype=np.uint8).reshape(hi - lo, per)
    codes = (raw[:, :, None] >> np.array([0, 2, 4, 6], dtype=np.uint8)) & 3
    table = np.array([0.0, np.nan, 1.0, 2.0], dtype=np.float32)
    return table[codes.reshape(hi - lo, -1)[:, :n_samples]]


def bim_allele2(prefix):
    return [line.split()[5] for line in open(prefix + ".bim")]


def make_data(prefix, n_samples, n_variants):
    if not os.path.exists(prefix + ".bed"):
        try:
            sys.path.insert(0, HERE)
            from plink_data import make_fileset  # the shared generator, when present
        except ImportError:
            make_fileset = None
        t0 = time.perf_counter()
        if make_fileset is not None:
            make_fileset(prefix, n_samples, n_variants, missing_rate=0.0, seed=0)
        else:
            write_fileset(prefix, n_samples, n_variants)
        print(f"generated {prefix}.bed/.bim/.fam in {time.perf_counter() - t0:.1f} s")

    # Covariates and a phenotype with a few causal markers among the first 200.
    rng = np.random.default_rng(1)
    covar = rng.normal(size=(n_samples, N_COVARIATES))
    causal = read_bed(prefix, n_samples, 0, 200)[::20].astype(np.float64)
    y = covar @ np.array([0.5, -0.3, 0.2]) + rng.normal(scale=0.3, size=len(causal)) @ causal
    y += rng.normal(size=n_samples)
    ids = [line.split()[:2] for line in open(prefix + ".fam")]
    with open(prefix + ".pheno", "w") as f:
        f.write("#FID\tIID\tPHENO1\n")
        for (fid, iid), v in zip(ids, y):
            f.write(f"{fid}\t{iid}\t{v:.17g}\n")
    with open(prefix + ".covar", "w") as f:
        f.write("#FID\tIID\t" + "\t".join(f"C{j + 1}" for j in range(N_COVARIATES)) + "\n")
        for (fid, iid), row in zip(ids, covar):
            f.write(f"{fid}\t{iid}\t" + "\t".join(f"{v:.17g}" for v in row) + "\n")
    return y, covar


# ---- runs -----------------------------------------------------------------------------------------


def run_korvex(prefix, y, covar, threads=2, chunk=8192):
    x = np.column_stack([np.ones(len(y)), covar])
    ixx = np.linalg.inv(x.T @ x)
    reader = korvex.BedChunkReader(prefix)
    results, alleles, scan_seconds = [], [], 0.0
    while (item := reader.next_chunk(chunk)) is not None:
        g, sites = item
        t = time.perf_counter()
        results.append(korvex.glmf32(y, x, ixx, g, threads=threads))
        scan_seconds += time.perf_counter() - t
        alleles.extend(s.alt_allele for s in sites)
    return np.concatenate(results), alleles, scan_seconds


def run_plink2(plink2, prefix, threads=2):
    """Runs plink2 --glm; returns (seconds, peak RSS in MiB or None, parsed results)."""
    out = prefix + ".plink2"
    cmd = [plink2, "--bfile", prefix, "--pheno", prefix + ".pheno", "--covar", prefix + ".covar",
           "--glm", "hide-covar", "--threads", str(threads), "--out", out]
    timer = shutil.which("time") or ("/usr/bin/time" if os.path.exists("/usr/bin/time") else None)
    if timer:
        cmd = [timer, "-f", "maxrss_kib=%M"] + cmd
    t = time.perf_counter()
    done = subprocess.run(cmd, check=True, capture_output=True, text=True)
    seconds = time.perf_counter() - t
    rss = [int(line.split("=")[1]) / 1024 for line in done.stderr.splitlines()
           if line.startswith("maxrss_kib=")]
    path = out + ".PHENO1.glm.linear"
    with open(path) as f:
        header = f.readline().lstrip("#").split()
        rows = [line.split() for line in f]
    col = {name: i for i, name in enumerate(header)}
    a1 = [r[col["A1"]] for r in rows]
    num = lambda name: np.array([float(r[col[name]]) if r[col[name]] != "NA" else np.nan for r in rows])
    return seconds, (rss[0] if rss else None), (a1, num("BETA"), num("SE"), num("P"))


def compare(korvex_out, korvex_alleles, plink):
    a1, beta, se, p = plink
    assert len(a1) == len(korvex_out), (len(a1), len(korvex_out))
    sign = np.where(np.array(korvex_alleles) == np.array(a1), 1.0, -1.0)
    kb, kse, kp = korvex_out[:, 0], korvex_out[:, 1], korvex_out[:, -1]
    rel = lambda a, b: np.nanmax(np.abs(a - b) / np.maximum(np.abs(b), 1e-300))
    flipped = int((sign < 0).sum())
    # plink2 prints 6 significant digits.
    print(f"agreement with plink2 over {len(a1)} variants ({flipped} counted on the other allele):")
    print(f"  max relative difference: beta {rel(kb * sign, beta):.2e}, se {rel(kse, se):.2e}, "
          f"p {rel(kp, p):.2e}")
    print(f"  smallest p: korvex {np.nanmin(kp):.4g}, plink2 {np.nanmin(p):.4g}")
    ok = (np.allclose(kb * sign, beta, rtol=1e-4, atol=1e-6) and np.allclose(kse, se, rtol=1e-4)
          and np.allclose(kp, p, rtol=1e-3, atol=1e-300))
    print("  agreement:", "OK" if ok else "MISMATCH")
    return ok


def run_korvex_numpy_reader(prefix, y, covar, threads=2, chunk=8192):
    """Fallback while BedChunkReader is unavailable: NumPy decoding (allele 2 counted, no flip)."""
    x = np.column_stack([np.ones(len(y)), covar])
    ixx = np.linalg.inv(x.T @ x)
    n_variants = sum(1 for _ in open(prefix + ".bim"))
    results, scan_seconds = [], 0.0
    for lo in range(0, n_variants, chunk):
        g = read_bed(prefix, len(y), lo, min(n_variants, lo + chunk))
        t = time.perf_counter()
        results.append(korvex.glmf32(y, x, ixx, g, threads=threads))
        scan_seconds += time.perf_counter() - t
    return np.concatenate(results), bim_allele2(prefix), scan_seconds


def time_glmf32_alone(prefix, y, covar, n_markers):
    x = np.column_stack([np.ones(len(y)), covar])
    ixx = np.linalg.inv(x.T @ x)
    g = read_bed(prefix, len(y), 0, n_markers)
    products = g.shape[0] * g.shape[1]
    print(f"glmf32 alone on {g.shape[0]} x {g.shape[1]} in memory, q0 = {x.shape[1]}:")
    for threads in (1, 2):
        korvex.glmf32(y, x, ixx, g[:1000], threads=threads)  # warm-up
        best = min(_timed(lambda: korvex.glmf32(y, x, ixx, g, threads=threads)) for _ in range(3))
        print(f"  threads={threads}: {best:.3f} s, {products / best / 1e6:.0f} M marker-sample "
              f"products/s, {products / best / 1e6 / threads:.0f} M per thread")


def _timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--samples", type=int, default=2000)
    ap.add_argument("--variants", type=int, default=100_000)
    ap.add_argument("--threads", type=int, default=2)
    # Up to a few thousand rows per chunk keeps each chunk's buffer below the allocator's mmap
    # ceiling (32 MiB), so chunks reuse memory instead of faulting fresh pages every time.
    ap.add_argument("--chunk", type=int, default=2048)
    ap.add_argument("--repeat", type=int, default=3, help="timed runs per tool (best is shown)")
    args = ap.parse_args()
    os.makedirs(DATA, exist_ok=True)
    prefix = os.path.join(DATA, f"glm_{args.samples}x{args.variants}")
    y, covar = make_data(prefix, args.samples, args.variants)

    if hasattr(korvex, "BedChunkReader"):
        run, label = run_korvex, "korvex end to end"
    else:
        run, label = run_korvex_numpy_reader, "korvex with a NumPy .bed decoder (no BedChunkReader)"
    run(prefix, y, covar, args.threads, chunk=args.chunk)  # warm the page cache
    runs = []
    for _ in range(args.repeat):
        t = time.perf_counter()
        kout, kalleles, scan_s = run(prefix, y, covar, args.threads, chunk=args.chunk)
        runs.append((time.perf_counter() - t, scan_s))
    korvex_s, scan_s = min(runs)
    print(f"{label} ({args.threads} threads, chunks of {args.chunk}): best {korvex_s:.3f} s of "
          f"{args.repeat} (glmf32 {scan_s:.3f} s, reading {korvex_s - scan_s:.3f} s); "
          f"peak RSS of this process {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.0f} MiB")

    plink2 = ensure_plink2()
    if plink2 is None:
        print("plink2 not available: comparison skipped")
    else:
        run_plink2(plink2, prefix, args.threads)  # warm-up
        timed = [run_plink2(plink2, prefix, args.threads) for _ in range(args.repeat)]
        plink_s, rss, plink = min(timed, key=lambda r: r[0])
        rss_text = f"; peak RSS {rss:.0f} MiB" if rss is not None else ""
        print(f"plink2 --glm ({args.threads} threads): best {plink_s:.3f} s of {args.repeat}"
              f"{rss_text}")
        print(f"ratio plink2 / korvex: {plink_s / korvex_s:.2f} (above 1: korvex faster)")
        compare(kout, kalleles, plink)

    time_glmf32_alone(prefix, y, covar, min(args.variants, 20_000))


if __name__ == "__main__":
    main()
