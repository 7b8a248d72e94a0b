"""A small end-to-end tour of korvex on generated data.

1. Writes a toy PLINK fileset (200 samples, 1,000 variants, some missing calls), reads it back in
   chunks with BedChunkReader under a site QC and prints a summary per site of the first chunk and
   totals for the whole file.
2. Scans the kept variants against a simulated phenotype with glmf32 (least squares, intercept and
   one covariate) and prints the strongest hits.
3. Takes the leading principal components of the standardised genotypes with block_randomized_svd.
4. Writes the first variants as a gzip VCF and reads them back with VcfChunkReader.
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

        # Association scan: variant 10 carries a real effect on the phenotype.
        reader = korvex.BedChunkReader(prefix)
        values, sites = reader.next_chunk(n_variants)
        sex = rng.integers(0, 2, n_samples).astype(float)
        y = 0.8 * values[10] + 0.3 * sex + rng.normal(size=n_samples)
        x = np.column_stack([np.ones(n_samples), sex])
        result = korvex.glmf32(y, x, np.linalg.inv(x.T @ x), values)
        print("\nglmf32: strongest associations (beta, se, p)")
        for i in np.argsort(result[:, -1])[:3]:
            print(f"  {sites[i].chrom}:{sites[i].pos}  beta={result[i, 0]:+.3f}  "
                  f"se={result[i, 1]:.3f}  p={result[i, -1]:.2e}")

        # Principal components of the samples: SVD of the standardised (samples x variants) matrix.
        std = values.std(axis=1, keepdims=True)
        z = ((values - values.mean(axis=1, keepdims=True)) / np.where(std > 0, std, 1)).T
        u, s, vt = korvex.block_randomized_svd(np.ascontiguousarray(z, dtype=np.float64), 5, seed=7)
        print("\nblock_randomized_svd: leading singular values", np.round(s, 2), "U", u.shape)

        # The first 5 variants as a gzip VCF, read back through the VCF reader.
        import gzip
        vcf = os.path.join(tmp, "first.vcf.gz")
        gt = {0: "0/0", 1: "0/1", 2: "1/1", -9: "./."}
        with gzip.open(vcf, "wt") as f:
            f.write("##fileformat=VCFv4.2\n#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t")
            f.write("\t".join(f"ind{j}" for j in range(n_samples)) + "\n")
            for i in range(5):
                calls = "\t".join(gt[int(c)] for c in geno[i])
                f.write(f"1\t{1000 + 10 * i}\trs{i}\tA\tG\t.\tPASS\t.\tGT\t{calls}\n")
        vcf_values, vcf_sites = korvex.VcfChunkReader(vcf).next_chunk(100)
        same = np.array_equal(vcf_values, korvex.BedChunkReader(prefix).next_chunk(5)[0])
        print(f"\nVCF: {korvex.count_vcf_snps(vcf)} data lines, read {vcf_values.shape}, "
              f"identical to the PLINK read: {same}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
