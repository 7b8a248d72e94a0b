"""PLINK fileset fixtures written byte by byte (no korvex writer involved), and an independent
NumPy reference of the site QC, so reader faults cannot be cancelled out by writer faults."""

import numpy as np

BED_MAGIC = b"\x6c\x1b\x01"

# Genotype value (copies of allele 2) -> 2-bit .bed code.
_CODE_OF_VALUE = {0: 0b00, -9: 0b01, 1: 0b10, 2: 0b11}


def codes_from_genotypes(g):
    """(m, n) array of 0/1/2/-9 -> (m, n) uint8 array of .bed codes."""
    g = np.asarray(g)
    codes = np.empty(g.shape, dtype=np.uint8)
    for value, code in _CODE_OF_VALUE.items():
        codes[g == value] = code
    assert set(np.unique(g)).issubset(_CODE_OF_VALUE), "genotypes must be 0, 1, 2 or -9"
    return codes


def pack_codes(codes, pad_code=0):
    """(m, n) uint8 codes -> (m, ceil(n/4)) packed bytes; sample j at bits 2 (j % 4) of byte j // 4.
    Unused slots of each row's last byte get `pad_code` (readers must ignore them)."""
    codes = np.asarray(codes, dtype=np.uint8)
    m, n = codes.shape
    width = (n + 3) // 4 * 4
    padded = np.full((m, width), pad_code, dtype=np.uint8)
    padded[:, :n] = codes
    return (padded[:, 0::4] | (padded[:, 1::4] << 2) | (padded[:, 2::4] << 4)
            | (padded[:, 3::4] << 6)).astype(np.uint8)


def fam_text(ids, newline="\n"):
    return "".join(f"fam{k} {iid} 0 0 0 -9{newline}" for k, iid in enumerate(ids))


def bim_text(sites, newline="\n"):
    """sites: iterable of (chrom, pos, ref, alt)."""
    return "".join(f"{c}\trs{k}\t0\t{p}\t{r}\t{a}{newline}"
                   for k, (c, p, r, a) in enumerate(sites))


def default_sites(m, chrom="1"):
    return [(chrom, 1000 + 10 * k, "A", "G") for k in range(m)]


def write_raw(prefix, fam=None, bim=None, bed=None):
    """Writes whichever of the three files is given, verbatim (str as UTF-8, bytes as is)."""
    for ext, content in ((".fam", fam), (".bim", bim), (".bed", bed)):
        if content is None:
            continue
        data = content.encode("utf-8") if isinstance(content, str) else bytes(content)
        with open(str(prefix) + ext, "wb") as f:
            f.write(data)


def write_fileset(prefix, genotypes=None, codes=None, ids=None, sites=None, pad_code=0,
                  extra=b"", header=BED_MAGIC):
    """Writes a fileset from genotypes (m, n of 0/1/2/-9) or raw codes; returns the codes."""
    if codes is None:
        codes = codes_from_genotypes(genotypes)
    codes = np.asarray(codes, dtype=np.uint8)
    m, n = codes.shape
    ids = [f"s{j}" for j in range(n)] if ids is None else ids
    sites = default_sites(m) if sites is None else sites
    bed = header + pack_codes(codes, pad_code).tobytes() + extra
    write_raw(prefix, fam=fam_text(ids), bim=bim_text(sites), bed=bed)
    return codes


def random_genotypes(rng, m, n, missing_rate=0.05):
    """Genotypes with a spread of allele frequencies (some above 0.5) and missing calls."""
    p = rng.uniform(0.0, 1.0, size=(m, 1))
    g = (rng.random((m, n)) < p).astype(np.int8) + (rng.random((m, n)) < p).astype(np.int8)
    g[rng.random((m, n)) < missing_rate] = -9
    return g


def decode_codes(codes):
    """Codes -> float values with -9 for missing (no QC)."""
    table = np.array([0.0, -9.0, 1.0, 2.0], dtype=np.float32)
    return table[np.asarray(codes)]


def reference_qc(values, maf=0.0, miss=1.0, fill=True):
    """The site QC computed with NumPy over whole rows.

    Returns (kept row indices, QC'd float32 rows of the kept sites, flipped flags of the kept
    sites). Thresholds are narrowed to float32 and widened back, as the readers hold them."""
    g = np.asarray(values, dtype=np.float64)
    m, n = g.shape
    maf64 = float(np.float32(maf))
    miss64 = float(np.float32(miss))
    called = g >= 0
    c = called.sum(axis=1).astype(np.float64)
    s = np.where(called, g, 0.0).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        rate = 1.0 - c / n
        p = s / (2 * c)
        all_missing = c == 0
        flip = ~all_missing & (p > 0.5)
        s2 = np.where(flip, 2 * c - s, s)
        p2 = s2 / (2 * c)
        minor = np.minimum(p2, 1 - p2)
        keep = ~(rate > miss64)
        keep &= np.where(all_missing, not (maf64 > 0), ~(minor < maf64))
        mean = np.where(all_missing, 0.0, s2 / c)
    out = np.where(flip[:, None] & called, 2.0 - g, g).astype(np.float32)
    if fill:
        out = np.where(called, out, mean.astype(np.float32)[:, None]).astype(np.float32)
    idx = np.flatnonzero(keep)
    return idx, out[idx], flip[idx]


def read_all(reader, chunk_size=1000):
    """Concatenates every chunk of a reader: (matrix, list of (chrom, pos, ref, alt))."""
    mats, sites = [], []
    while True:
        chunk = reader.next_chunk(chunk_size)
        if chunk is None:
            break
        g, s = chunk
        mats.append(g)
        sites.extend((x.chrom, x.pos, x.ref_allele, x.alt_allele) for x in s)
    n = reader.n_samples
    return (np.concatenate(mats) if mats else np.empty((0, n), np.float32)), sites
