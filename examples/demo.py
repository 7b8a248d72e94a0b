"""A small end-to-end tour of korvex on generated data.

Writes a toy PLINK fileset (200 samples, 1,000 variants, some missing calls), reads it back in
chunks with BedChunkReader under the default site QC and prints a summary per site of the first
chunk and totals for the whole file.
"""
import os
import sys
import tempfile

import numpy as np

import korvex


def write_fileset(prefix, genotypes, chrom="1"):
    """genotypes: (variants, samples) int array of 0/1/2 copies of allele 2, -9 missing."""
    m, n = genotypes.shape
    with open(prefix + ".fam", "w") as f:
        for j in range(n):
            f.write(f"fam{j} ind{j} 0 0 0 -9\n")
    with open(prefix + ".bim", "w") as f:
        for i in range(m):
            f.write(f"{chrom}\trs{i}\t0\t{1000 + 10 * i}\tA\tG\n")
    code = np.select([genotypes == 0, genotypes == 1, genotypes == 2], [0, 2, 3], 1).astype(np.uint8)
    padded = np.zeros((m, -(-n // 4) * 4), dtype=np.uint8)
    padded[:, :n] = code
    quads = padded.reshape(m, -1, 4)
    packed = quads[..., 0] | quads[..., 1] << 2 | quads[..., 2] << 4 | quads[..., 3] << 6
    with open(prefix + ".bed", "wb") as f:
        f.write(bytes([0x6C, 0x1B, 0x01]))
        f.write(packed.astype(np.uint8).tobytes())


def main():
    rng = np.random.default_rng(1)
    n_samples, n_variants = 200, 1000
    freqs = rng.uniform(0.02, 0.98, size=n_variants)
    geno = rng.binomial(2, freqs[:, None], size=(n_variants, n_samples))
    geno[rng.random(geno.shape) < 0.02] = -9
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "cohort")
        write_fileset(prefix, geno)
        reader = korvex.BedChunkReader(prefix, maf_threshold=0.05, max_missing_rate=0.1)
        print(f"fileset: {reader.n_samples} samples, {reader.n_snps} variants")
        kept = flipped = chunks = 0
        first = True
        while (chunk := reader.next_chunk(256)) is not None:
            values, sites = chunk
            chunks += 1
            kept += len(sites)
            flipped += sum(s.ref_allele == "G" for s in sites)
            if first:
                print("first chunk:", values.shape, values.dtype)
                print(f"{'chrom':>5} {'pos':>6} {'ref':>3} {'alt':>3} {'alt freq':>8} {'mean':>6}")
                for s, row in zip(sites[:8], values[:8]):
                    print(f"{s.chrom:>5} {s.pos:>6} {s.ref_allele:>3} {s.alt_allele:>3} "
                          f"{row.mean() / 2:8.4f} {row.mean():6.3f}")
                first = False
        print(f"kept {kept} of {n_variants} variants in {chunks} chunks "
              f"({flipped} flipped to the minor allele)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
