#!/usr/bin/env python3
"""Mixed-model association scan: korvex against GEMMA (-lmm 1, per-marker REML Wald test).

A 1,000-sample x 10,000-variant PLINK cohort is generated (with a polygenic phenotype in the .fam),
its centred relationship matrix is computed with NumPy and saved in GEMMA's kinship format, and the
same files are scanned end to end by

  korvex: BedChunkReader -> eigendecomposition of the kinship (NumPy, once) -> rotation of
          phenotype, intercept and markers (NumPy matmul) -> lmm_reml_chunk_f32 (2 threads,
          log10 lambda in [-5, 5])
  GEMMA:  gemma -bfile <prefix> -k <kinship> -lmm 1

It prints the times and ratios, the per-marker cost of lmm_assoc_chunk_f32 against
lmm_reml_chunk_f32 on the same rotated markers, and how close korvex's per-marker lambdas and betas
are to GEMMA's (GEMMA's lambda is the genetic-to-residual variance ratio, the inverse of korvex's).

    PYTHONPATH=build python bench/bench_lmm.py [--samples 1000] [--variants 10000]

Both tools use OpenBLAS (NumPy's and Debian's) for their dense algebra; the bench gives both the
same OPENBLAS_NUM_THREADS, 1 unless set in the environment: on a 2-core machine shared with other
work, OpenBLAS' spinning threads can slow an eigendecomposition down tenfold.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # before NumPy loads OpenBLAS; GEMMA inherits

import numpy as np  # noqa: E402

import korvex  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data", "lmm")
THREADS = 2
LOW, HIGH = -5.0, 5.0
CHUNK = 2000
MAF, MISS = 0.01, 0.05  # GEMMA's default SNP filters, applied on both sides


# ---- peers and data -----------------------------------------------------------------------------

def ensure_gemma():
    if shutil.which("gemma"):
        return
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    if subprocess.run(["apt-get", "install", "-y", "-qq", "gemma"], env=env).returncode != 0:
        subprocess.run(["apt-get", "update", "-qq"], env=env, check=True)
        subprocess.run(["apt-get", "install", "-y", "-qq", "gemma"], env=env, check=True)


def make_fileset_local(prefix, n_samples, n_variants, missing_rate=0.01, seed=0):
    """A random PLINK fileset (allele frequencies 0.05-0.5, `missing_rate` missing calls)."""
    rng = np.random.default_rng(seed)
    af = rng.uniform(0.05, 0.5, n_variants)
    copies = rng.binomial(2, af[:, None], size=(n_variants, n_samples)).astype(np.uint8)
    # Two-bit codes counting copies of the first .bim allele: 2 -> 00, 1 -> 10, 0 -> 11, missing 01.
    codes = np.array([3, 2, 0], dtype=np.uint8)[copies]
    codes[rng.random((n_variants, n_samples)) < missing_rate] = 1
    pad = (-n_samples) % 4
    codes = np.pad(codes, ((0, 0), (0, pad)))
    packed = (codes[:, 0::4] | (codes[:, 1::4] << 2) | (codes[:, 2::4] << 4)
              | (codes[:, 3::4] << 6)).astype(np.uint8)
    with open(prefix + ".bed", "wb") as f:
        f.write(bytes([0x6C, 0x1B, 0x01]))
        f.write(packed.tobytes())
    bases = np.array(list("ACGT"))
    a1 = rng.integers(0, 4, n_variants)
    a2 = (a1 + rng.integers(1, 4, n_variants)) % 4
    with open(prefix + ".bim", "w") as f:
        for j in range(n_variants):
            f.write(f"1\trs{j + 1}\t0\t{1000 + 100 * j}\t{bases[a1[j]]}\t{bases[a2[j]]}\n")
    with open(prefix + ".fam", "w") as f:
        for i in range(n_samples):
            f.write(f"F{i + 1} I{i + 1} 0 0 0 -9\n")


def read_genotypes_numpy(prefix, n_samples):
    """Fallback reader while BedChunkReader is unavailable: minor-allele counts, mean fill, the same
    maf / missing-rate filters. Returns (G (m, n) float32, list of (chrom, pos, counted allele))."""
    bim = [line.split() for line in open(prefix + ".bim")]
    raw = np.fromfile(prefix + ".bed", dtype=np.uint8, offset=3).reshape(len(bim), -1)
    codes = np.stack([(raw >> (2 * k)) & 3 for k in range(4)], axis=2).reshape(len(bim), -1)
    codes = codes[:, :n_samples]
    value = np.array([2.0, -9.0, 1.0, 0.0], dtype=np.float32)[codes]  # copies of column 5
    rows, sites = [], []
    for j, fields in enumerate(bim):
        v = value[j]
        ok = v >= 0
        miss = 1.0 - ok.mean()
        freq = v[ok].mean() / 2 if ok.any() else 0.0
        allele = fields[4]
        if freq > 0.5:
            v = np.where(ok, 2.0 - v, v)
            freq = 1.0 - freq
            allele = fields[5]
        if miss > MISS or freq < MAF:
            continue
        v = np.where(ok, v, v[ok].mean() if ok.any() else 0.0)
        rows.append(v.astype(np.float32))
        sites.append((fields[0], int(fields[3]), allele))
    return np.vstack(rows), sites


def have_bed_reader():
    return hasattr(korvex, "BedChunkReader")


def bed_chunks(prefix, n_samples):
    """Yields (G chunk (c, n) float32, sites as (chrom, pos, counted allele))."""
    if have_bed_reader():
        reader = korvex.BedChunkReader(prefix, maf_threshold=MAF, max_missing_rate=MISS)
        while True:
            chunk = reader.next_chunk(CHUNK)
            if chunk is None:
                return
            g, sites = chunk
            yield g, [(s.chrom, s.pos, s.alt_allele) for s in sites]
    else:
        g, sites = read_genotypes_numpy(prefix, n_samples)
        for lo in range(0, len(g), CHUNK):
            yield g[lo:lo + CHUNK], sites[lo:lo + CHUNK]


def prepare(n, m):
    os.makedirs(DATA, exist_ok=True)
    prefix = os.path.join(DATA, f"cohort_{n}x{m}")
    kinship = prefix + ".cXX.txt"
    if os.path.exists(prefix + ".bed") and os.path.exists(kinship):
        return prefix, kinship, "cached"
    try:
        sys.path.insert(0, HERE)
        from plink_data import make_fileset
        source = "bench/plink_data.make_fileset"
    except ImportError:
        make_fileset = make_fileset_local
        source = "local generator"
    make_fileset(prefix, n, m, missing_rate=0.01, seed=0)
    g = np.vstack([c for c, _ in bed_chunks(prefix, n)]).astype(np.float64)
    # GEMMA's centred relatedness matrix (-gk 1): sum over SNPs of (x - mean)(x - mean)' / #SNPs.
    centred = g - g.mean(axis=1, keepdims=True)
    k = centred.T @ centred / g.shape[0]
    np.savetxt(kinship, k, fmt="%.10g", delimiter="\t")
    # Polygenic phenotype: 500 causal SNPs explain half of the variance.
    rng = np.random.default_rng(1)
    causal = rng.choice(g.shape[0], 500, replace=False)
    z = centred[causal] / centred[causal].std(axis=1, keepdims=True)
    genetic = rng.standard_normal(500) @ z
    y = np.sqrt(0.5) * genetic / genetic.std() + np.sqrt(0.5) * rng.standard_normal(n)
    fam = [line.split() for line in open(prefix + ".fam")]
    with open(prefix + ".fam", "w") as f:
        for fields, value in zip(fam, y):
            f.write(" ".join(fields[:5] + [f"{value:.6f}"]) + "\n")
    return prefix, kinship, source


# ---- the two pipelines --------------------------------------------------------------------------

def run_korvex(prefix, kinship, n):
    t = {}
    t0 = time.perf_counter()
    y = np.array([float(line.split()[5]) for line in open(prefix + ".fam")])
    k = np.loadtxt(kinship, dtype=np.float64)
    t["load phenotype + kinship"] = time.perf_counter() - t0

    t1 = time.perf_counter()
    s, u = np.linalg.eigh(k)
    s = np.maximum(s, 0.0)  # as GEMMA does with round-off negative eigenvalues
    ut = np.ascontiguousarray(u.T)
    y_rot = ut @ y
    x_rot = ut @ np.ones((n, 1))
    u32 = u.astype(np.float32)
    t["eigendecomposition"] = time.perf_counter() - t1

    read = rotate = scan = 0.0
    betas, lambdas, sites, rotated = [], [], [], []
    t2 = time.perf_counter()
    chunks = bed_chunks(prefix, n)
    while True:
        a = time.perf_counter()
        item = next(chunks, None)
        b = time.perf_counter()
        read += b - a
        if item is None:
            break
        g, chunk_sites = item
        g_rot = g @ u32  # row e becomes U' g_e
        c = time.perf_counter()
        rotate += c - b
        bsp, lam = korvex.lmm_reml_chunk_f32(s, x_rot, y_rot, LOW, HIGH, g_rot, threads=THREADS)
        scan += time.perf_counter() - c
        betas.append(bsp)
        lambdas.append(lam)
        sites.extend(chunk_sites)
        rotated.append(g_rot)
    t["read genotypes"] = read
    t["rotate markers"] = rotate
    t["lmm_reml_chunk_f32"] = scan
    t["total"] = time.perf_counter() - t0
    return t, (s, x_rot, y_rot, rotated), np.vstack(betas), np.concatenate(lambdas), sites


def run_gemma(prefix, kinship):
    out_dir = os.path.join(DATA, "gemma_out")
    os.makedirs(out_dir, exist_ok=True)
    name = os.path.basename(prefix)
    cmd = ["gemma", "-bfile", prefix, "-k", kinship, "-lmm", "1", "-o", name, "-outdir", out_dir]
    t0 = time.perf_counter()
    proc = subprocess.run(cmd, cwd=DATA, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)
    elapsed = time.perf_counter() - t0
    if proc.returncode != 0:
        sys.exit("gemma failed:\n" + proc.stdout[-3000:])
    rows = [line.rstrip("\n").split("\t") for line in open(os.path.join(out_dir,
                                                                         name + ".assoc.txt"))]
    header, body = rows[0], rows[1:]
    col = {h: i for i, h in enumerate(header)}
    table = {(r[col["chr"]], int(r[col["ps"]])): r for r in body}
    return elapsed, table, col


# ---- main ---------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--samples", type=int, default=1000)
    ap.add_argument("--variants", type=int, default=10000)
    args = ap.parse_args()
    n, m = args.samples, args.variants

    ensure_gemma()
    prefix, kinship, source = prepare(n, m)
    print(f"cohort: {n} samples x {m} variants ({source}); genotypes read with "
          f"{'BedChunkReader' if have_bed_reader() else 'a NumPy fallback reader'}; "
          f"OPENBLAS_NUM_THREADS={os.environ['OPENBLAS_NUM_THREADS']}")

    t_kx, rotated, bsp, lam, sites = run_korvex(prefix, kinship, n)
    t_gemma, gemma, col = run_gemma(prefix, kinship)

    print("\nkorvex end to end (2 threads):")
    for key, value in t_kx.items():
        print(f"  {key:<28s} {value:8.3f} s")
    print(f"GEMMA -lmm 1 -k:               {t_gemma:8.3f} s")
    print(f"speed-up korvex vs GEMMA:      {t_gemma / t_kx['total']:8.2f} x   (target >= 2)")

    # Fixed lambda against REML on the same rotated markers, per marker.
    s, x_rot, y_rot, chunks = rotated
    log10_lbd = float(np.median(np.log10(lam[np.isfinite(lam)])))
    best = np.inf
    for _ in range(3):
        t0 = time.perf_counter()
        for g_rot in chunks:
            korvex.lmm_assoc_chunk_f32(s, x_rot, y_rot, log10_lbd, g_rot, threads=THREADS)
        best = min(best, time.perf_counter() - t0)
    n_markers = len(lam)
    per_reml = t_kx["lmm_reml_chunk_f32"] / n_markers
    per_assoc = best / n_markers
    print(f"\nper marker: lmm_reml_chunk_f32 {per_reml * 1e6:8.2f} us, "
          f"lmm_assoc_chunk_f32 {per_assoc * 1e6:6.3f} us  ->  {per_reml / per_assoc:6.1f} x "
          f"(target >= 50)")

    # Agreement with GEMMA on the markers both report.
    dl, rel_beta, z_beta, rel_se = [], [], [], []
    matched = 0
    for e, (chrom, pos, allele) in enumerate(sites):
        row = gemma.get((chrom, pos))
        if row is None:
            continue
        matched += 1
        sign = 1.0 if row[col["allele1"]] == allele else -1.0
        g_beta, g_se = float(row[col["beta"]]), float(row[col["se"]])
        g_lambda = 1.0 / float(row[col["l_remle"]])
        dl.append(abs(np.log10(lam[e]) - np.log10(g_lambda)))
        rel_beta.append(abs(bsp[e, 0] - sign * g_beta) / abs(g_beta))
        z_beta.append(abs(bsp[e, 0] - sign * g_beta) / g_se)
        rel_se.append(abs(bsp[e, 1] - g_se) / g_se)
    dl, rel_beta, z_beta, rel_se = map(np.array, (dl, rel_beta, z_beta, rel_se))
    print(f"\nagreement with GEMMA on {matched} of {len(sites)} markers "
          f"(GEMMA reports {len(gemma)}):")
    print(f"  |log10 lambda - log10(1/l_remle)|: median {np.median(dl):.2e}, "
          f"95% {np.quantile(dl, 0.95):.2e}, max {dl.max():.2e}")
    print(f"  |beta difference| / |beta_gemma|:  median {np.median(rel_beta):.2e}, "
          f"95% {np.quantile(rel_beta, 0.95):.2e}, max {rel_beta.max():.2e}")
    print(f"  |beta difference| / se_gemma:      median {np.median(z_beta):.2e}, "
          f"max {z_beta.max():.2e}")
    print(f"  |se difference| / se_gemma:        median {np.median(rel_se):.2e}, "
          f"max {rel_se.max():.2e}")
    print("  (p-values differ by design: korvex uses the normal Wald test, GEMMA an F test)")


if __name__ == "__main__":
    main()
