"""VCF reading: korvex against cyvcf2 and the shell, on a 2,000-sample x 100,000-variant VCF.

    PYTHONPATH=build .venv/bin/python bench/bench_vcf.py [--samples 2000] [--variants 100000]
        [--repeat 2] [--chunk 10000] [--no-perf]

Data (generated once under bench/data/): unphased GT-only calls drawn under Hardy-Weinberg with
allele frequencies 0.02..0.98 and 1% missing calls, as plain text and bgzip-compressed (`bgzip`
from apt `tabix`; Python's gzip per 64 KiB block of text when bgzip is unavailable).

Measured, each in a fresh child process (wall time, best of --repeat; peak RSS of the child):
  * korvex VcfChunkReader reading everything as float32 chunks (default QC: flip + fill);
  * cyvcf2 iterating the same file on one thread and filling float32 chunks of the same size from
    gt_types (gts012: 0/1/2, 3 -> -9);
  * korvex count_vcf_snps against `grep -vc '^#'` (plain) and `zcat | grep -vc '^#'` (gzip);
  * the gzip path's parts: zlib inflate alone over the same file (bench/vcf_inflate_only.c, the
    same system libz and buffer sizes as korvex) and, when perf works, a perf profile of the
    korvex gzip read.
"""

import argparse
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import time
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")


# ---- peers ----------------------------------------------------------------------------------------


def ensure_cyvcf2():
    try:
        import cyvcf2  # noqa: F401
        return True
    except ImportError:
        pass
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "cyvcf2"], capture_output=True)
    try:
        import cyvcf2  # noqa: F401
        return True
    except ImportError:
        return False


def ensure_apt(tool, package):
    if shutil.which(tool):
        return shutil.which(tool)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    install = ["apt-get", "install", "-y", "-qq", package]
    if subprocess.run(install, env=env, capture_output=True).returncode != 0:
        subprocess.run(["apt-get", "update", "-qq"], env=env, capture_output=True)
        subprocess.run(install, env=env, capture_output=True)
    return shutil.which(tool)


# ---- data -----------------------------------------------------------------------------------------


def write_vcf(path, n_samples, n_variants, seed=0, block=1000):
    rng = np.random.default_rng(seed)
    # Four bytes per call: the GT text and the separator after it.
    cells = np.frombuffer(b"0/0\t0/1\t1/1\t./.\t", dtype="<u4")
    with open(path, "wb") as f:
        f.write(b"##fileformat=VCFv4.2\n")
        f.write(b'##FORMAT=<ID=GT,Number=1,Type=String,Description="Genotype">\n')
        for c in range(1, (n_variants - 1) // 50000 + 2):
            f.write(f"##contig=<ID={c}>\n".encode())
        f.write(("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\t"
                 + "\t".join(f"S{i}" for i in range(n_samples)) + "\n").encode())
        for lo in range(0, n_variants, block):
            hi = min(n_variants, lo + block)
            p = rng.uniform(0.02, 0.98, size=(hi - lo, 1))
            codes = rng.binomial(2, p, size=(hi - lo, n_samples))
            codes[rng.random(codes.shape) < 0.01] = 3
            rows = cells[codes].view(np.uint8).reshape(hi - lo, 4 * n_samples).copy()
            rows[:, -1] = ord("\n")
            out = bytearray()
            for i, row in enumerate(rows):
                v = lo + i
                out += f"{1 + v // 50000}\t{v + 1}\trs{v}\t{'ACGT'[v % 4]}\t{'GTAC'[v % 4]}\t.\tPASS\t.\tGT\t".encode()
                out += row.tobytes()
            f.write(out)


def bgzip_python(src, dst, block=65280):
    """BGZF-like: one gzip member per block of text (no BC extra field)."""
    with open(src, "rb") as fin, open(dst, "wb") as fout:
        while chunk := fin.read(block):
            fout.write(gzip.compress(chunk, compresslevel=6, mtime=0))


def make_data(n_samples, n_variants):
    os.makedirs(DATA, exist_ok=True)
    plain = os.path.join(DATA, f"vcf_{n_samples}x{n_variants}.vcf")
    gz = plain + ".gz"
    if not os.path.exists(plain):
        t = time.perf_counter()
        write_vcf(plain + ".tmp", n_samples, n_variants)
        os.replace(plain + ".tmp", plain)
        print(f"wrote {plain} in {time.perf_counter() - t:.1f} s")
    if not os.path.exists(gz):
        t = time.perf_counter()
        bgzip = ensure_apt("bgzip", "tabix")
        if bgzip:
            with open(gz + ".tmp", "wb") as out:
                subprocess.run([bgzip, "-c", "-@", "2", plain], stdout=out, check=True)
        else:
            bgzip_python(plain, gz + ".tmp")
        os.replace(gz + ".tmp", gz)
        print(f"wrote {gz} ({'bgzip' if bgzip else 'python gzip blocks'}) in {time.perf_counter() - t:.1f} s")
    return plain, gz


# ---- measurements (each runs in a child process) -------------------------------------------------


def job_korvex_read(path, chunk):
    import korvex
    r = korvex.VcfChunkReader(path)
    rows, checksum = 0, 0.0
    while (c := r.next_chunk(chunk)) is not None:
        rows += c[0].shape[0]
        checksum += float(c[0][:, 0].sum())
    return {"rows": rows, "checksum": checksum}


def job_cyvcf2_read(path, chunk):
    import cyvcf2
    vcf = cyvcf2.VCF(path, gts012=True)  # one thread: no decompression threads
    n = len(vcf.samples)
    lut = np.array([0, 1, 2, -9], dtype=np.float32)
    rows, checksum = 0, 0.0
    block = np.empty((chunk, n), dtype=np.float32)
    k = 0
    for v in vcf:
        block[k] = lut[v.gt_types]
        k += 1
        if k == chunk:
            rows += k
            checksum += float(block[:, 0].sum())
            block = np.empty((chunk, n), dtype=np.float32)
            k = 0
    rows += k
    vcf.close()
    return {"rows": rows}


def job_korvex_count(path, chunk):
    import korvex
    return {"count": korvex.count_vcf_snps(path)}


def inflate_only(path):
    """zlib inflate alone over the file, through bench/vcf_inflate_only.c (compiled on first use):
    the same reads, buffer sizes and member handling as korvex's line source, output discarded.
    Returns (decoded bytes, seconds) or None without a C compiler."""
    src = os.path.join(HERE, "vcf_inflate_only.c")
    exe = os.path.join(DATA, "vcf_inflate_only")
    if not os.path.exists(exe) or os.path.getmtime(exe) < os.path.getmtime(src):
        cc = shutil.which("cc") or shutil.which("gcc")
        if not cc or subprocess.run([cc, "-O2", "-o", exe, src, "-lz"], capture_output=True).returncode:
            return None
    out = subprocess.run([exe, path], capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), float(out[1])


JOBS = {"korvex_read": job_korvex_read, "cyvcf2_read": job_cyvcf2_read,
        "korvex_count": job_korvex_count}


def run_child(job, path, chunk):
    """Runs one job in a fresh interpreter; returns (wall seconds, peak RSS MiB, job result)."""
    cmd = [sys.executable, os.path.abspath(__file__), "--child", job, path, str(chunk)]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{job} failed")
    out = proc.stdout
    result = json.loads(out.strip().splitlines()[-1])
    return result["wall"], result["rss_mib"], result


def child_main(job, path, chunk):
    import resource
    t = time.perf_counter()
    result = JOBS[job](path, int(chunk))
    result["wall"] = time.perf_counter() - t
    result["rss_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps(result))


def run_shell(cmd):
    t = time.perf_counter()
    out = subprocess.run(cmd, shell=True, check=False, capture_output=True, text=True)
    return time.perf_counter() - t, out.stdout.strip()


def best(fn, repeat):
    runs = [fn() for _ in range(repeat)]
    return min(runs, key=lambda r: r[0])


def perf_profile(path, chunk):
    """perf record of one korvex gzip read; returns (lines by DSO, lines by symbol) or None."""
    perf = ensure_apt("perf", "linux-perf")
    if not perf:
        return None
    data = os.path.join(DATA, "vcf_gz.perf.data")
    cmd = [perf, "record", "-q", "-F", "999", "-o", data, "--", sys.executable,
           os.path.abspath(__file__), "--child", "korvex_read", path, str(chunk)]
    if subprocess.run(cmd, capture_output=True).returncode != 0:
        return None
    reports = []
    for sort, limit in (("dso", "1"), ("dso,symbol", "2")):
        rep = subprocess.run([perf, "report", "-i", data, "--stdio", "--no-children", "--sort", sort,
                              "--percent-limit", limit], capture_output=True, text=True)
        if rep.returncode != 0:
            return None
        reports.append(["  ".join(re.split(r"\s{2,}", line.strip())[:3])
                        for line in rep.stdout.splitlines() if line.strip() and not line.startswith("#")])
    return reports


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--samples", type=int, default=2000)
    ap.add_argument("--variants", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--chunk", type=int, default=10_000)
    ap.add_argument("--no-perf", action="store_true")
    args = ap.parse_args()

    plain, gz = make_data(args.samples, args.variants)
    mb_plain = os.path.getsize(plain) / 1e6
    mb_gz = os.path.getsize(gz) / 1e6
    print(f"data: {args.samples} samples x {args.variants} variants; plain {mb_plain:.0f} MB, "
          f"bgzip {mb_gz:.0f} MB")
    have_cyvcf2 = ensure_cyvcf2()
    subprocess.run(f"cat {plain} {gz} > /dev/null", shell=True)  # warm the page cache

    print("\n== reading everything as float32 chunks "
          f"(chunk {args.chunk}; best of {args.repeat}; wall s, peak RSS MiB)")
    reads = {}
    for label, path in (("plain", plain), ("gzip", gz)):
        k = best(lambda: run_child("korvex_read", path, args.chunk), args.repeat)
        assert k[2]["rows"] == args.variants, k
        line = f"{label:5s}  korvex {k[0]:7.2f} s ({k[1]:5.0f} MiB)"
        if have_cyvcf2:
            c = best(lambda: run_child("cyvcf2_read", path, args.chunk), args.repeat)
            assert c[2]["rows"] == args.variants, c
            line += f"   cyvcf2 {c[0]:7.2f} s ({c[1]:5.0f} MiB)   cyvcf2/korvex {c[0] / k[0]:5.2f}x"
            reads[label] = (k[0], c[0])
        else:
            line += "   cyvcf2 unavailable"
        print(line)

    print(f"\n== counting data lines (best of {args.repeat}; wall s)")
    for label, path, shell in (("plain", plain, f"grep -vc '^#' {plain}"),
                               ("gzip", gz, f"zcat {gz} | grep -vc '^#'")):
        k = best(lambda: run_child("korvex_count", path, args.chunk), args.repeat)
        s = best(lambda: run_shell(shell), args.repeat)
        assert k[2]["count"] == args.variants and int(s[1]) == args.variants, (k, s)
        print(f"{label:5s}  korvex count_vcf_snps {k[0]:6.2f} s   `{shell.replace(path, 'FILE')}` "
              f"{s[0]:6.2f} s   shell/korvex {s[0] / k[0]:5.2f}x")
    # The same pipeline pinned to one core, since korvex counts on one thread.
    s1 = best(lambda: run_shell(f"taskset -c 0 sh -c \"zcat {gz} | grep -vc '^#'\""), args.repeat)
    print(f"gzip   `zcat | grep -vc` pinned to one core: {s1[0]:6.2f} s")

    print("\n== the gzip path")
    zc = best(lambda: run_shell(f"zcat {gz} > /dev/null"), args.repeat)
    runs = [r for r in (inflate_only(gz) for _ in range(args.repeat)) if r]
    if runs:
        nbytes, secs = min(runs, key=lambda r: r[1])
        print(f"zlib {zlib.ZLIB_RUNTIME_VERSION} inflate alone: {secs:.2f} s for {nbytes / 1e6:.0f} MB "
              f"({nbytes / 1e6 / secs:.0f} MB/s out); zcat > /dev/null {zc[0]:.2f} s")
        if "gzip" in reads and "plain" in reads:
            kg, kp = reads["gzip"][0], reads["plain"][0]
            print(f"korvex read: gzip {kg:.2f} s = plain {kp:.2f} s + {kg - kp:.2f} s; "
                  f"inflate alone is {secs / kg * 100:.0f}% of the gzip read")
    else:
        print(f"zcat > /dev/null {zc[0]:.2f} s (no C compiler for the inflate-only timer)")
    if not args.no_perf:
        prof = perf_profile(gz, args.chunk)
        if prof:
            print("perf profile of one korvex gzip read (self time; the child's interpreter start "
                  "included):")
            print("  by DSO (>= 1%):")
            for line in prof[0][:12]:
                print("    " + line)
            print("  by symbol (>= 2%):")
            for line in prof[1][:16]:
                print("    " + line)
        else:
            print("perf unavailable here")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_main(*sys.argv[2:5])
    else:
        main()
