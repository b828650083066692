#!/usr/bin/python3
"""Quick comparison of profile variants on crops of real data and phantoms.

    /usr/bin/python3 bench/profile_sweep.py PACKAGE_DIR CASES 'JSON list of variants'

PACKAGE_DIR: the folder holding the kelvo Python package (e.g. build/python/package).
CASES: vcor (volumes, box-correlated 0.1 and [1 2 1]-correlated 0.05), vwhite, vall, icor
(camera, moon, coins 256x256 crops, box-correlated 0.1), iwhite, iall. Each variant is a
JSON object of profile attributes to set ("wiener.threshold": 1.2, "fft_size": [8, 8, 8],
...) and an optional "name"; the first variant is the baseline. Prints one line per variant:
the PSNR of every case, the mean and smallest difference to the baseline, and the process
CPU time relative to the baseline's (indicative only on a shared machine). Noise seeds are
fixed (100 + case index), the true sigma or PSD is given.
"""
import json
import os
import sys
import time
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # bench_data beside this file
import numpy as np
import bench_data as bd
sys.path.insert(0, sys.argv[1])
import kelvo
sel = sys.argv[2]; configs = json.loads(sys.argv[3])

def cases():
    out = []
    if sel in ("vcor", "vall"):
        out += [("inia", bd.inia19((64, 96, 96)), "box", 0.1), ("ph3", bd.phantom3d((48, 64, 64)), "box", 0.1),
                ("inia2", bd.inia19((48, 160, 128)), "correlated", 0.05)]
    if sel in ("vwhite", "vall"):
        out += [("inia", bd.inia19((64, 96, 96)), "white", 0.05), ("inia", bd.inia19((64, 96, 96)), "white", 0.15),
                ("ph3", bd.phantom3d((48, 64, 64)), "white", 0.1)]
    if sel in ("icor", "iall"):
        out += [(nm, bd.sample_image(nm, 256), "box", 0.1) for nm in ("camera", "moon", "coins")]
    if sel in ("iwhite", "iall"):
        out += [(nm, bd.sample_image(nm, 256), "white", 0.1) for nm in ("camera", "moon", "coins")]
    return out

def setp(p, key, val):
    obj = p; parts = key.split(".")
    for k in parts[:-1]: obj = getattr(obj, k)
    setattr(obj, parts[-1], val)

cs = cases()
noisy = [bd.add_noise(v, s, k, 100 + i) for i, (nm, v, k, s) in enumerate(cs)]
base = None
for cfg in configs:
    name = cfg.pop("name", json.dumps(cfg))
    res = []; t0 = time.process_time()
    for (nm, v, kind, s), z in zip(cs, noisy):
        p = kelvo.Profile.defaults(v.ndim == 3, kind != "white")  # what denoise would pick
        for k, val in cfg.items(): setp(p, k, val)
        if kind == "white": noise = s
        else:
            fx, fy, fz = p.fft_size
            noise = bd.noise_psd(s, kind, (fz, fy, fx) if v.ndim == 3 else (fy, fx))
        e = kelvo.denoise(z, noise, profile=p, threads=2)
        res.append(bd.psnr(v, e))
    cpu = time.process_time() - t0
    if base is None: base = (np.array(res), cpu)
    d = np.array(res) - base[0]
    print(f"{name:40s} " + " ".join(f"{r:6.2f}" for r in res) + f" | mean d {d.mean():+.3f} min d {d.min():+.3f} cpu x{cpu/base[1]:.2f}", flush=True)
