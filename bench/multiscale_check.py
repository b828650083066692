#!/usr/bin/python3
"""PSNR and run time of kelvo's correlated-noise defaults with and without the coarse scale
(Profile.multiscale), on real data under box-correlated noise of sigma 0.1 with the true PSD:
the 48x96x96 inia19 crop and scikit-image's camera, moon and coins images (the noise seeds of
bench/compare.py --quick), or with --full the whole inia19 volume. Times are the best of three
runs (one with --full), 2 engine threads, the two settings interleaved.

    PYTHONPATH=build/release/python/package /usr/bin/python3 bench/multiscale_check.py [--full]
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_data as bd  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--full", action="store_true", help="the whole inia19 volume only")
    args = ap.parse_args()
    kelvo = bd.import_kelvo()
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


if __name__ == "__main__":
    main()
