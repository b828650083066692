#!/usr/bin/python3
"""The command-line tool's whole run (NIfTI reading, both stages, gzip writing) against
scikit-image's non-local means (fast mode, patch size 5, patch distance 6) on the same noisy
181x217x181 phantom (bench_data.phantom3d, white noise sigma 0.1, numpy seed 42).

    /usr/bin/python3 bench/tool_vs_nlm.py [build/release/cli/kelvo ...] [--runs N] [--no-nlm]

Every tool binary given is run N times (default 3) on the same .nii.gz, alternately; the
best wall time, its CPU time (user + system of the process) and the output's PSNR are
printed, then non-local means once (h = 0.8 sigma, as scikit-image recommends for fast
mode) and the ratio of the best tool time to its time. On a loaded machine compare the CPU
times: wall times then depend on the share of the cores each process got.
"""
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_data as bd  # noqa: E402
import nifti_min  # noqa: E402

SHAPE = (181, 217, 181)  # x, y, z
SIGMA = 0.1


def psnr(a, b):
    return 10 * np.log10(1.0 / np.mean((np.asarray(a, np.float64) - b) ** 2))


def timed(cmd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def main():
    args = sys.argv[1:]
    if "--help" in args or "-h" in args:
        print(__doc__)
        return
    runs = 3
    if "--runs" in args:
        i = args.index("--runs")
        runs = int(args[i + 1])
        del args[i:i + 2]
    nlm = "--no-nlm" not in args
    tools = [a for a in args if a != "--no-nlm"] or ["build/release/cli/kelvo"]
    for t in tools:
        if t.startswith("-"):
            sys.exit(__doc__ + f"\nunknown option {t}")
        if not os.access(t, os.X_OK):
            sys.exit(f"{t}: not an executable; pass the kelvo tool's path "
                     "(e.g. build/release/cli/kelvo)")
    # phantom3d takes (Z, Y, X); the NIfTI file holds (x, y, z).
    clean = bd.phantom3d(SHAPE[::-1]).astype(np.float32).transpose(2, 1, 0)
    rng = np.random.default_rng(42)
    noisy = (clean + rng.normal(0, SIGMA, clean.shape)).astype(np.float32)
    print(f"{SHAPE[0]}x{SHAPE[1]}x{SHAPE[2]}, sigma {SIGMA}: noisy PSNR {psnr(noisy, clean):.2f} dB")
    best = None
    with tempfile.TemporaryDirectory() as d:
        src = os.path.join(d, "in.nii.gz")
        nifti_min.write_nifti(src, noisy)
        results = {t: [] for t in tools}
        for _ in range(runs):
            for t in tools:
                dst = os.path.join(d, "out.nii.gz")
                wall, cpu = timed([t, "denoise", src, dst, "--sigma", str(SIGMA), "--threads", "2",
                                   "--quiet"])
                results[t].append((wall, cpu, psnr(nifti_min.read_nifti(dst), clean)))
        for t in tools:
            wall, cpu, p = min(results[t])
            walls = ", ".join(f"{r[0]:.2f}" for r in results[t])
            print(f"  {t}: best {wall:.2f} s wall ({cpu:.2f} s CPU; runs {walls}), PSNR {p:.3f} dB")
            best = wall if best is None else min(best, wall)
    if nlm:
        from skimage.restoration import denoise_nl_means
        t0, c0 = time.perf_counter(), time.process_time()
        out = denoise_nl_means(noisy, patch_size=5, patch_distance=6, h=0.8 * SIGMA, sigma=SIGMA,
                               fast_mode=True, channel_axis=None)
        nlm_s, nlm_cpu = time.perf_counter() - t0, time.process_time() - c0
        print(f"  skimage denoise_nl_means fast: {nlm_s:.2f} s wall ({nlm_cpu:.2f} s CPU), "
              f"PSNR {psnr(out, clean):.3f} dB")
        print(f"  best tool time / NLM time: {best / nlm_s:.4f} (target <= 0.035)")


if __name__ == "__main__":
    main()
