#!/usr/bin/python3
"""Profile variants against the defaults on real data and phantoms, with fixed noise.

    PYTHONPATH=build/release/python/package /usr/bin/python3 bench/retune_check.py SET \
        'ht.threshold=3.0+wie.threshold=1.3' 'wie.search_radius=(6,6,6)' ...

SET is one of:
  vwhite   the central 48x96x96 crop of the inia19 T1 volume at sigma 0.05, 0.1 and 0.15, and
           a 48x64x64 phantom at 0.1 (white noise);
  vwhite2  another inia19 crop (64x80x80 at 20, 30, 40) at 0.05, 0.1 and 0.15, and a
           40x72x72 phantom at 0.05 and 0.15;
  vcorr    the inia19 crop and the phantom under 3x3x3 box-correlated noise of sigma 0.1;
  vcorr2   the inia19 crops of vwhite and vwhite2 (48x96x96, 64x80x80) and a 40x72x72 phantom
           under four correlations at sigma 0.05 and 0.1: box, [1 2 1] along every axis,
           a Gaussian of width 1 sample along every axis, and k-space zero-filling along x
           only (bench_data.KERNELS);
  vcorrw   the whole inia19 volume (128x206x168, 80 % of it background) under box and k-space
           noise of sigma 0.1;
  iwhite   256x256 crops of camera (sigma 0.05, 0.1, 0.15) and moon, the coins image and a
           192x192 phantom at 0.1;
  iwhite2  256x256 crops of scikit-image's brick, grass, gravel, page, clock and text at 0.1;
  icorr    camera, moon and coins under 3x3 box-correlated noise of sigma 0.1;
  icorr2   the images of iwhite2 under box and [1 2 1]-correlated noise of sigma 0.1.
Each variant changes fields of the defaults that the interfaces pick for the case
(Profile.defaults(volumetric, correlated)): STAGE.FIELD=VALUE joined by '+', STAGE being ht,
wie or p (the profile itself), VALUE a Python literal. Noise seeds are 900 + the case's index
in its set; the true sigma or PSD is given and both stages run on 2 threads. Prints each
case's PSNR for the defaults, then per variant the difference on every case, the mean and the
smallest, and the time relative to the defaults (indicative only on a shared machine).
"""

import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_data as bd  # noqa: E402

kelvo = bd.import_kelvo()


def image(name):
    from skimage import data
    img = getattr(data, name)().astype(np.float32) / 255.0
    h, w = img.shape
    s = min(256, h, w)
    top, left = (h - s) // 2, (w - s) // 2
    return np.ascontiguousarray(img[top:top + s, left:left + s])


def cases(name):
    if name in ("vwhite", "vcorr"):
        inia, ph = bd.inia19((48, 96, 96)), bd.phantom3d((48, 64, 64))
        if name == "vcorr":
            return [("inia19", inia, "box", 0.1), ("phantom3d", ph, "box", 0.1)]
        return [("inia19", inia, "white", s) for s in bd.SIGMAS] + [("phantom3d", ph, "white", 0.1)]
    if name == "vcorr2":
        data = [("inia19", bd.inia19((48, 96, 96))),
                ("inia19b", np.ascontiguousarray(bd.inia19()[20:84, 30:110, 40:120])),
                ("phantom3d", bd.phantom3d((40, 72, 72)))]
        return [(n, v, k, s) for n, v in data for k in ("box", "correlated", "gauss", "kspace")
                for s in (0.05, 0.1)]
    if name == "vcorrw":
        whole = bd.inia19()
        return [("inia19 whole", whole, k, 0.1) for k in ("box", "kspace")]
    if name == "vwhite2":
        inia = np.ascontiguousarray(bd.inia19()[20:84, 30:110, 40:120])
        ph = bd.phantom3d((40, 72, 72))
        return ([("inia19b", inia, "white", s) for s in bd.SIGMAS]
                + [("phantom3d", ph, "white", s) for s in (0.05, 0.15)])
    if name in ("iwhite", "icorr"):
        imgs = [("camera", bd.sample_image("camera", 256)), ("moon", bd.sample_image("moon", 256)),
                ("coins", bd.sample_image("coins", None))]
        if name == "icorr":
            return [(n, img, "box", 0.1) for n, img in imgs]
        return ([(n, img, "white", 0.1) for n, img in imgs]
                + [("camera", imgs[0][1], "white", s) for s in (0.05, 0.15)]
                + [("phantom2d", bd.phantom2d((192, 192)), "white", 0.1)])
    if name in ("iwhite2", "icorr2"):
        names = ("brick", "grass", "gravel", "page", "clock", "text")
        if name == "icorr2":
            return [(n, image(n), k, 0.1) for n in names for k in ("box", "correlated")]
        return [(n, image(n), "white", 0.1) for n in names]
    raise SystemExit(f"unknown set {name!r}; see --help")


def variant(spec):
    def apply(p):
        for item in filter(None, spec.split("+")):
            key, value = item.split("=", 1)
            stage, field = key.split(".")
            value = eval(value, {})
            if stage == "p":
                setattr(p, field, value)
                continue
            attr = {"ht": "hard_threshold", "wie": "wiener"}[stage]
            st = getattr(p, attr)
            setattr(st, field, value)
            setattr(p, attr, st)  # stages are copied out: write the stage back
        return p
    return apply


def run(cs, apply):
    psnrs, t0 = [], time.perf_counter()
    for i, (_, clean, noise, sigma) in enumerate(cs):
        z = bd.add_noise(clean, sigma, noise, 900 + i)
        p = apply(kelvo.Profile.defaults(clean.ndim == 3, noise != "white"))
        est = kelvo.denoise(z, bd.kelvo_noise(sigma, noise, p, clean.ndim), profile=p, threads=2)
        psnrs.append(bd.psnr(clean, est))
    return np.array(psnrs), time.perf_counter() - t0


def main():
    if len(sys.argv) < 2 or sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return
    cs = cases(sys.argv[1])
    base, seconds = run(cs, variant(""))
    print("defaults " + " | ".join(f"{n} {k} {s:g} {p:.2f}" for (n, _, k, s), p in zip(cs, base))
          + f" | {seconds:.1f} s", flush=True)
    for spec in sys.argv[2:]:
        psnrs, t = run(cs, variant(spec))
        d = psnrs - base
        print(f"{spec}: mean {d.mean():+.3f} min {d.min():+.3f} time x{t / seconds:.2f} | "
              + " ".join(f"{x:+.2f}" for x in d), flush=True)


if __name__ == "__main__":
    main()
