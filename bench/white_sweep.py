#!/usr/bin/python3
"""Profile variants against the white-noise defaults on many images or volumes and sigmas.

    PYTHONPATH=build/release/python/package /usr/bin/python3 bench/white_sweep.py SET \
        'wie.max_group_size=64' 'ht.step_size=(2,2,1)+wie.step_size=(2,2,1)' ...

SET is one of:
  images   central crops of at most 256x256 of 14 scikit-image images (camera, moon, coins,
           brick, clock, page, text, grass, gravel, cell and grey-level rocket, coffee,
           chelsea, hubble_deep_field) at sigma 0.05, 0.1 and 0.15;
  full     the same images at sigma 0.1, cropped to at most 512x512 only;
  phantom  bench_data's phantom2d at 192x192, 256x256 and 384x384 and the same sigmas;
  volumes  two crops of the inia19 T1 volume (central 48x96x96, and 64x80x80 at 20, 30, 40)
           and a 48x64x64 phantom at sigma 0.03, 0.05, 0.1 and 0.15;
  vlow     both inia19 crops and the whole volume at sigma 0.01 and 0.02: inia19's
           0.5-99.5 percentile range is only 0.3, so these are 3 to 7 % of it, the relative
           noise of sigma 0.03 to 0.07 on data that spans its range;
  whole    the whole inia19 volume (128x206x168, 80 % of it a background of zeros) at
           sigma 0.03, 0.05, 0.1 and 0.15.
Variants use the syntax of bench/retune_check.py (STAGE.FIELD=VALUE joined by '+', STAGE
being ht, wie or p). White noise comes from seed 700 + the case's index in its set; the true
sigma is given and both stages run on 2 threads. Prints each case's PSNR with the defaults,
then per variant the mean difference, the mean per sigma, the worst case (with its name)
and the time relative to the defaults (indicative only on a shared machine); --cases also
prints every case's difference.
"""

import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_data as bd  # noqa: E402
from retune_check import variant  # noqa: E402

kelvo = bd.import_kelvo()

IMAGES = ("camera", "moon", "coins", "brick", "clock", "page", "text", "grass", "gravel", "cell",
          "rocket", "coffee", "chelsea", "hubble_deep_field")


def image(name, size=256):
    from skimage import color, data
    img = getattr(data, name)()
    img = color.rgb2gray(img) if img.ndim == 3 else img.astype(np.float64) / 255.0
    h, w = img.shape
    sh, sw = min(size, h), min(size, w)
    top, left = (h - sh) // 2, (w - sw) // 2
    return np.ascontiguousarray(img[top:top + sh, left:left + sw], dtype=np.float32)


def cases(name):
    if name == "images":
        return [(n, image(n), s) for s in bd.SIGMAS for n in IMAGES]
    if name == "full":
        return [(n, image(n, 512), 0.1) for n in IMAGES]
    if name == "phantom":
        return [(f"phantom2d {n}", bd.phantom2d((n, n)), s) for s in bd.SIGMAS
                for n in (192, 256, 384)]
    if name == "volumes":
        whole = bd.inia19()
        vols = [("inia19", bd.inia19((48, 96, 96))),
                ("inia19b", np.ascontiguousarray(whole[20:84, 30:110, 40:120])),
                ("phantom3d", bd.phantom3d((48, 64, 64)))]
        return [(n, v, s) for s in (0.03,) + bd.SIGMAS for n, v in vols]
    if name == "vlow":
        whole = bd.inia19()
        vols = [("inia19", bd.inia19((48, 96, 96))),
                ("inia19b", np.ascontiguousarray(whole[20:84, 30:110, 40:120])),
                ("inia19 whole", whole)]
        return [(n, v, s) for s in (0.01, 0.02) for n, v in vols]
    if name == "whole":
        whole = bd.inia19()
        return [("inia19 whole", whole, s) for s in (0.03,) + bd.SIGMAS]
    raise SystemExit(f"unknown set {name!r}; see --help")


def run(cs, apply):
    psnrs, t0 = [], time.perf_counter()
    for i, (_, clean, sigma) in enumerate(cs):
        z = bd.add_noise(clean, sigma, "white", 700 + i)
        p = apply(kelvo.Profile.defaults(clean.ndim == 3))
        psnrs.append(bd.psnr(clean, kelvo.denoise(z, sigma, profile=p, threads=2)))
    return np.array(psnrs), time.perf_counter() - t0


def main():
    args = [a for a in sys.argv[1:] if a != "--cases"]
    if not args or args[0] in ("-h", "--help"):
        print(__doc__)
        return
    cs = cases(args[0])
    base, seconds = run(cs, variant(""))
    sigmas = sorted({s for _, _, s in cs})
    print(f"defaults: mean {base.mean():.3f} dB, {seconds:.1f} s | "
          + " ".join(f"{n}@{s:g} {p:.2f}" for (n, _, s), p in zip(cs, base)), flush=True)
    for spec in args[1:]:
        psnrs, t = run(cs, variant(spec))
        d = psnrs - base
        per = " ".join(f"{s:g}:{d[[c[2] == s for c in cs]].mean():+.3f}" for s in sigmas)
        worst = int(np.argmin(d))
        line = (f"{spec}: mean {d.mean():+.3f} [{per}] min {d[worst]:+.3f} "
                f"({cs[worst][0]}@{cs[worst][2]:g}) time x{t / seconds:.2f}")
        if "--cases" in sys.argv:
            line += " | " + " ".join(f"{n}@{s:g} {x:+.2f}" for (n, _, s), x in zip(cs, d))
        print(line, flush=True)


if __name__ == "__main__":
    main()
