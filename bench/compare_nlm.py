#!/usr/bin/python3
"""Side-by-side comparison with scikit-image's non-local means (fast mode, patch size 5,
patch distance 6) on the phantom of stage_bench with white noise (sigma 0.1, range 1).

    /usr/bin/python3 bench/compare_nlm.py [build/release/bench/stage_bench] [image|big|both] [threads]

Both denoisers get the same noisy array (numpy seed 42). Prints one table row per method:
seconds and PSNR. Non-local means gets h = 0.8 sigma and sigma, as scikit-image's
documentation recommends for fast mode.
"""
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from skimage.restoration import denoise_nl_means


def phantom(shape):
    """The stage benchmark's phantom; shape in (z, y, x) order, x fastest."""
    z, y, x = shape
    zz, yy, xx = np.meshgrid(np.arange(z), np.arange(y), np.arange(x), indexing="ij")
    u = 2.0 * xx / x - 1
    w = 2.0 * yy / y - 1
    t = 2.0 * zz / z - 1 if z > 1 else np.zeros_like(u)
    v = 0.2 + 0.1 * u
    inside = u * u / 0.7 + w * w / 0.5 + t * t / 0.8 < 1
    v = np.where(inside, 0.5 + 0.1 * w, v)
    v = np.where((u - 0.3) ** 2 + (w + 0.2) ** 2 + t * t < 0.06, 0.9, v)
    return v.astype(np.float32)


def psnr(a, b):
    return 10 * np.log10(1.0 / np.mean((a.astype(np.float64) - b) ** 2))


def run(bench, shape, threads, sigma=0.1):
    clean = phantom(shape)
    rng = np.random.default_rng(42)
    noisy = (clean + rng.normal(0, sigma, clean.shape)).astype(np.float32)
    z, y, x = shape
    with tempfile.TemporaryDirectory() as d:
        src, dst = os.path.join(d, "in.raw"), os.path.join(d, "out.raw")
        noisy.tofile(src)
        t0 = time.perf_counter()
        res = subprocess.run([bench, "raw", src, dst, str(x), str(y), str(z), str(sigma),
                              str(threads)], capture_output=True, text=True, check=True)
        ours_s = time.perf_counter() - t0
        ours = np.fromfile(dst, dtype=np.float32).reshape(shape)
    img = noisy[0] if z == 1 else noisy
    t0 = time.perf_counter()
    nlm = denoise_nl_means(img, patch_size=5, patch_distance=6, h=0.8 * sigma, sigma=sigma,
                           fast_mode=True, channel_axis=None)
    nlm_s = time.perf_counter() - t0
    nlm = nlm.reshape(shape)
    label = "x".join(str(s) for s in (x, y, z))
    print(f"{label}: noisy PSNR {psnr(noisy, clean):.2f} dB")
    print(f"  kelvo (both stages, {threads} threads): {ours_s:8.2f} s (process; stages: "
          f"{res.stdout.strip()})  PSNR {psnr(ours, clean):.2f} dB")
    print(f"  skimage denoise_nl_means fast:      {nlm_s:8.2f} s  PSNR {psnr(nlm, clean):.2f} dB")
    print(f"  speed ratio nlm/kelvo: {nlm_s / ours_s:.1f}x")
    sys.stdout.flush()


def main():
    bench = sys.argv[1] if len(sys.argv) > 1 else "build/release/bench/stage_bench"
    which = sys.argv[2] if len(sys.argv) > 2 else "image"
    threads = int(sys.argv[3]) if len(sys.argv) > 3 else 2
    if which in ("image", "both"):
        run(bench, (1, 512, 512), threads)
    if which in ("big", "both"):
        run(bench, (181, 217, 181), threads)


if __name__ == "__main__":
    main()
