"""Synthetic PLINK filesets for the benchmarks.

    from plink_data import make_fileset
    make_fileset("bench/data/cohort", 2000, 100_000, missing_rate=0.01, seed=0)

writes cohort.bed/.bim/.fam: allele frequencies drawn from a U-shaped Beta(0.5, 0.5) spectrum
(clipped to [0.005, 0.995], so many rare and many common variants, about half of them with the
.bim allele 2 as the major allele), genotypes in Hardy-Weinberg proportions, and missing calls
at `missing_rate` independently per genotype. Sites are spread over chromosomes 1..22 with
increasing positions. The same arguments always give the same bytes; a fileset that already
exists with the same arguments is kept (a small .params file records them).
"""

import json
import os

import numpy as np

# 2-bit .bed code of a count of allele 2: 0 -> 00, 1 -> 10, 2 -> 11; missing is 01.
_CODES = np.array([0b00, 0b10, 0b11], dtype=np.uint8)
_MISSING = 0b01


def _pack(codes):
    m, n = codes.shape
    pad = (-n) % 4
    if pad:
        codes = np.concatenate([codes, np.zeros((m, pad), np.uint8)], axis=1)
    q = codes.reshape(m, -1, 4)
    return (q[:, :, 0] | (q[:, :, 1] << 2) | (q[:, :, 2] << 4) | (q[:, :, 3] << 6)).astype(np.uint8)


def make_fileset(prefix, n_samples, n_variants, missing_rate=0.01, seed=0):
    """Writes prefix.bed/.bim/.fam (see the module docstring); returns the prefix."""
    prefix = str(prefix)
    params = {"n_samples": int(n_samples), "n_variants": int(n_variants),
              "missing_rate": float(missing_rate), "seed": int(seed), "version": 1}
    stamp = prefix + ".params"
    if all(os.path.exists(prefix + ext) for ext in (".bed", ".bim", ".fam")) and \
            os.path.exists(stamp):
        with open(stamp) as f:
            if json.load(f) == params:
                return prefix
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    rng = np.random.default_rng(seed)

    with open(prefix + ".fam", "w") as f:
        f.writelines(f"F{i} I{i} 0 0 0 -9\n" for i in range(n_samples))

    chrom = np.minimum(np.arange(n_variants) * 22 // max(n_variants, 1) + 1, 22)
    gaps = rng.integers(50, 5000, size=n_variants)
    pos = np.empty(n_variants, dtype=np.int64)
    for c in range(1, 23):  # positions restart on each chromosome
        sel = chrom == c
        pos[sel] = np.cumsum(gaps[sel]) + 10_000
    bases = np.array(list("ACGT"))
    a1 = rng.integers(0, 4, size=n_variants)
    a2 = (a1 + rng.integers(1, 4, size=n_variants)) % 4
    with open(prefix + ".bim", "w") as f:
        f.writelines(f"{c}\trs{v}\t0\t{p}\t{bases[x]}\t{bases[y]}\n"
                     for v, (c, p, x, y) in enumerate(zip(chrom, pos, a1, a2)))

    freq = np.clip(rng.beta(0.5, 0.5, size=n_variants), 0.005, 0.995)
    block = max(1, 8_000_000 // max(n_samples, 1))
    with open(prefix + ".bed", "wb") as f:
        f.write(bytes([0x6C, 0x1B, 0x01]))
        for lo in range(0, n_variants, block):
            hi = min(n_variants, lo + block)
            p = freq[lo:hi, None].astype(np.float32)
            u = rng.random((hi - lo, n_samples), dtype=np.float32)
            dosage = (u >= (1 - p) ** 2).astype(np.uint8) + (u >= 1 - p * p).astype(np.uint8)
            codes = _CODES[dosage]
            if missing_rate > 0:
                codes[rng.random((hi - lo, n_samples), dtype=np.float32) < missing_rate] = _MISSING
            f.write(_pack(codes).tobytes())

    with open(stamp, "w") as f:
        json.dump(params, f)
    return prefix


if __name__ == "__main__":
    import sys
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "data",
                                                             "cohort")
    make_fileset(out, 2000, 100_000)
    print(out)
