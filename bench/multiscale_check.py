#!/usr/bin/python3
"""PSNR and run time of kelvo's correlated-noise defaults with and without the coarse scale
(Profile.multiscale), on real data under box-correlated noise of sigma 0.1 with the true PSD:
the 48x96x96 inia19 crop and scikit-image's camera, moon and coins images (the noise seeds of
bench/compare.py --quick), or with --full the whole inia19 volume. Times are the best of three
runs (one with --full), 2 engine threads, the two settings interleaved. With --all, PSNR only
(one run each) on more cases, under box and (1, 2, 1) noise: a second, off-centre inia19
crop, brick, clock and the phantoms of bench_data.py as well.

    PYTHONPATH=build/release/python/package /usr/bin/python3 bench/multiscale_check.py \
        [--full | --all]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_data as bd  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--full", action="store_true", help="the whole inia19 volume only")
    ap.add_argument("--all", action="store_true", help="PSNR on more cases and both kernels")
    args = ap.parse_args()
    kelvo = bd.import_kelvo()
    if args.all:
        return gains_everywhere(kelvo)
    if args.full:
        cases, reps = [("inia19", bd.inia19(), 5001)], 1
    else:
        cases, reps = [("inia19 crop", bd.inia19((48, 96, 96)), 5001),
                       ("camera", bd.sample_image("camera", None), 5003),
                       ("moon", bd.sample_image("moon", None), 5005),
                       ("coins", bd.sample_image("coins", None), 5007)], 3
    for name, clean, seed in cases:
        z = bd.add_noise(clean, 0.1, "box", seed)
        best = {}
        for _ in range(reps):
            for multiscale in (False, True):
                p = kelvo.Profile.defaults(z.ndim == 3, True)
                p.multiscale = multiscale
                psd = bd.kelvo_noise(0.1, "box", p, z.ndim)
                t = time.perf_counter()
                y = kelvo.denoise(z, psd, profile=p, threads=2)
                t = time.perf_counter() - t
                best[multiscale] = (bd.psnr(clean, y), min(t, best.get(multiscale, (0, t))[1]))
        (p0, t0), (p1, t1) = best[False], best[True]
        print(f"{name} {'x'.join(map(str, clean.shape))}: one scale {p0:.2f} dB {t0:.2f} s, "
              f"with the coarse scale {p1:.2f} dB {t1:.2f} s ({p1 - p0:+.2f} dB, "
              f"x{t1 / t0:.2f} time)", flush=True)


def gains_everywhere(kelvo):
    full = bd.inia19()
    z0, y0, x0 = full.shape[0] // 2 - 10, full.shape[1] // 2 - 60, full.shape[2] // 2 + 5
    cases = [("inia19 crop", bd.inia19((48, 96, 96)), 5001),
             ("inia19 off-centre crop",
              np.ascontiguousarray(full[z0:z0 + 48, y0:y0 + 96, x0:x0 + 96]), 5011)]
    cases += [(name, bd.sample_image(name, None), 5003 + 2 * i)
              for i, name in enumerate(["camera", "moon", "coins", "brick", "clock"])]
    cases += [("3-D phantom", bd.phantom3d(), 5021), ("2-D phantom", bd.phantom2d(), 5023)]
    gains = []
    for name, clean, seed in cases:
        for kind in ("box", "correlated"):
            z = bd.add_noise(clean, 0.1, kind, seed)
            psnr = {}
            for multiscale in (False, True):
                p = kelvo.Profile.defaults(z.ndim == 3, True)
                p.multiscale = multiscale
                y = kelvo.denoise(z, bd.kelvo_noise(0.1, kind, p, z.ndim), profile=p, threads=2)
                psnr[multiscale] = bd.psnr(clean, y)
            gains.append(psnr[True] - psnr[False])
            print(f"{name} {'x'.join(map(str, clean.shape))} {kind} 0.1: one scale "
                  f"{psnr[False]:.2f} dB, with the coarse scale {psnr[True]:.2f} dB "
                  f"({gains[-1]:+.2f} dB)", flush=True)
    print(f"gain: mean {np.mean(gains):+.3f} dB, worst {min(gains):+.2f} dB")


if __name__ == "__main__":
    main()
