#!/usr/bin/python3
"""Quality sweep of kelvo's profile settings, to choose the defaults by measurement.

For each kind of data (volumes: 4x4x4 blocks; images: 8x8x1 blocks, the block sizes with
built-in transforms) the sweep starts from the current defaults and walks the settings one at
a time (coordinate descent): every candidate value of one setting is run on every test case
with the others held, and the setting keeps the value with the best mean PSNR, except that a
cheaper value wins when it is within --tolerance dB (0.1) of the best. Test cases: phantoms
(and scikit-image's camera crop for images) at sigma 0.05, 0.1 and 0.15 on a range of 1,
white and correlated noise (see bench_data.py); correlated noise is given to kelvo as its
exact PSD on the profile's fftSize grid. Both stages run, with --threads threads (2).

Output: a Markdown report (--out, default bench/quality_sweep.md) with one table per setting
(mean PSNR over all cases, over white and correlated cases, seconds per run) and the
per-case figures of the starting and the tuned profiles. Results are cached in --cache so an
interrupted sweep resumes.

    PYTHONPATH=build/python/package /usr/bin/python3 bench/quality_sweep.py [--only volume|image]
"""

import argparse
import copy
import json
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_data as bd  # noqa: E402

kelvo = bd.import_kelvo()

SEED_BASE = 1000  # noise seeds: SEED_BASE + case index


def cases(kind):
    """The (name, clean, sigma, noise kind, noisy) test cases of one kind of data."""
    if kind == "volume":
        images = [("phantom3d 96x96x64", bd.phantom3d((64, 96, 96)))]
    else:
        images = [("phantom2d 256x256", bd.phantom2d((256, 256))),
                  ("camera 256x256", bd.sample_image("camera", 256))]
    out = []
    for name, clean in images:
        for noise in bd.NOISE_KINDS:
            for sigma in bd.SIGMAS:
                seed = SEED_BASE + len(out) + (0 if kind == "volume" else 100)
                out.append((name, clean, sigma, noise, bd.add_noise(clean, sigma, noise, seed)))
    return out


# --- settings --------------------------------------------------------------------------
# Each axis: (label, getter, setter, candidate values, cost order). The cost order says which
# values are cheaper to run: "low" (smaller is cheaper), "high" (larger is cheaper) or None
# (same cost: the best PSNR wins) or "off" (0 is cheaper, other values cost the same).

def _stage_axis(stage, field, label, values, cost, volumetric):
    def get(p):
        v = getattr(getattr(p, stage), field)
        return v[0] if isinstance(v, (tuple, list)) else v

    def put(p, value):
        s = getattr(p, stage)
        cur = getattr(s, field)
        if isinstance(cur, (tuple, list)):
            value = (value, value, value if volumetric else cur[2])
        setattr(s, field, value)
        setattr(p, stage, s)
    return (label, get, put, values, cost)


def _profile_axis(field, label, values, cost, volumetric=True):
    def get(p):
        v = getattr(p, field)
        return v[0] if isinstance(v, (tuple, list)) else v

    def put(p, value):
        cur = getattr(p, field)
        if isinstance(cur, (tuple, list)):
            value = (value, value, value if volumetric else cur[2])
        setattr(p, field, value)
    return (label, get, put, values, cost)


def _sharpen_axis():
    def get(p):
        return p.sharpen_alpha if p.sharpen else 1.0

    def put(p, alpha):
        p.sharpen = alpha != 1.0
        p.sharpen_alpha = alpha
        p.sharpen_alpha_first_slice = alpha
    return ("sharpen (alpha; 1 = off)", get, put, [1.0, 1.1, 1.3], "low")


def axes(kind):
    vol = kind == "volume"
    ht, wie = "hard_threshold", "wiener"
    a = [
        _stage_axis(ht, "threshold", "HT threshold (lambda)", [2.3, 2.5, 2.7, 3.0], None, vol),
        _stage_axis(wie, "threshold", "Wiener threshold", [0.6, 0.8, 1.0, 1.3], None, vol),
        _stage_axis(ht, "match_threshold", "HT match threshold", [1.0, 1.5, 2.0, 3.0], None, vol),
        _stage_axis(wie, "match_threshold", "Wiener match threshold", [0.2, 0.4, 0.8, 1.5],
                    None, vol),
        _stage_axis(ht, "max_group_size", "HT group size", [8, 16, 32], "low", vol),
        _stage_axis(wie, "max_group_size", "Wiener group size",
                    [16, 32, 64] if vol else [8, 16, 32, 64], "low", vol),
        # Volumes: step 2 (3.4 times the reference blocks of step 3) and radius 7 (2.5 times
        # the candidates of radius 5) are left out: they cannot fit the time budget of a
        # 181x217x181 volume (10 s for both stages with 2 threads).
        _stage_axis(ht, "step_size", "HT step", [3, 4] if vol else [2, 3, 4], "high", vol),
        _stage_axis(wie, "step_size", "Wiener step", [3, 4] if vol else [2, 3, 4], "high", vol),
        _stage_axis(ht, "search_radius", "HT search radius",
                    [3, 4, 5] if vol else [8, 12, 16, 20], "low", vol),
        _stage_axis(wie, "search_radius", "Wiener search radius",
                    [3, 4, 5] if vol else [8, 12, 16, 20], "low", vol),
        _profile_axis("fft_size", "fftSize", [4, 8, 16] if vol else [8, 16, 32, 64], "low", vol),
        # varianceLimit 0 lost 0.7 dB on images (all correlated cases); not repeated on volumes.
        _profile_axis("variance_limit", "varianceLimit", [2, 4, 8, 16] if vol else [0, 2, 4, 8, 16],
                      "low"),
        _profile_axis("match_noise_weight", "matchNoiseWeight", [0.0, 0.5, 1.0], "off"),
    ]
    if not vol:  # sharpening lost 0.3 to 1.1 dB on images; not repeated on volumes
        a.append(_sharpen_axis())
    return a


# --- evaluation ------------------------------------------------------------------------

def profile_key(p):
    return repr(p)


class Evaluator:
    def __init__(self, kind, threads, cache_path):
        self.kind = kind
        self.threads = threads
        self.cases = cases(kind)
        self.cache_path = cache_path
        self.cache = {}
        if cache_path and os.path.exists(cache_path):
            with open(cache_path) as f:
                self.cache = json.load(f)

    def __call__(self, p):
        key = self.kind + "|" + profile_key(p)
        if key in self.cache:
            return self.cache[key]
        res = {"psnr": [], "ssim": [], "seconds": [], "error": None}
        for name, clean, sigma, noise, noisy in self.cases:
            arg = bd.kelvo_noise(sigma, noise, p, clean.ndim)
            t = time.perf_counter()
            try:
                est = kelvo.denoise(noisy, arg, profile=p, threads=self.threads)
            except (ValueError, MemoryError) as e:
                res["error"] = str(e).splitlines()[0]
                break
            res["seconds"].append(time.perf_counter() - t)
            res["psnr"].append(bd.psnr(clean, est))
            res["ssim"].append(bd.ssim(clean, est))
        self.cache[key] = res
        if self.cache_path:
            tmp = self.cache_path + ".tmp"
            with open(tmp, "w") as f:
                json.dump(self.cache, f)
            os.replace(tmp, self.cache_path)
        return res


def summary(ev, res):
    """Mean PSNR over all cases, white cases, correlated cases; mean seconds per run."""
    if res["error"]:
        return None
    ps = np.array(res["psnr"])
    white = np.array([c[3] == "white" for c in ev.cases])
    return (float(ps.mean()), float(ps[white].mean()), float(ps[~white].mean()),
            float(np.mean(res["seconds"])), float(np.mean(res["ssim"])))


def choose(values, sums, cost, tolerance):
    """Index of the chosen value: the best mean PSNR, or the cheapest value within
    `tolerance` dB of it when the axis has a cost order."""
    ok = [i for i, s in enumerate(sums) if s is not None]
    best = max(ok, key=lambda i: sums[i][0])
    if cost is None:
        return best
    near = [i for i in ok if sums[i][0] >= sums[best][0] - tolerance]
    if cost == "low":
        price = lambda i: values[i]  # noqa: E731
    elif cost == "high":
        price = lambda i: -values[i]  # noqa: E731
    else:  # "off": only switching the feature off saves time
        price = lambda i: values[i] != 0  # noqa: E731
    return min(near, key=lambda i: (price(i), -sums[i][0]))


def fmt_value(v):
    return f"{v:g}" if isinstance(v, float) else str(v)


def sweep(kind, args, log):
    ev = Evaluator(kind, args.threads, args.cache)
    start = kelvo.Profile.defaults(kind == "volume")
    p = copy.deepcopy(start)
    sections = []
    t0 = time.perf_counter()
    for sweep_pass in range(args.passes):
        changed = False
        for label, get, put, values, cost in axes(kind):
            current = get(p)
            sums = []
            for v in values:
                q = copy.deepcopy(p)
                put(q, v)
                sums.append(summary(ev, ev(q)))
                s = sums[-1]
                log(f"[{kind} {time.perf_counter() - t0:6.0f}s] {label} = {fmt_value(v)}: "
                    + (f"{s[0]:.3f} dB (white {s[1]:.3f}, corr {s[2]:.3f}), {s[3]:.2f} s/run"
                       if s else "error"))
            i = choose(values, sums, cost, args.tolerance)
            if values[i] != current:
                changed = True
            put(p, values[i])
            sections.append((sweep_pass + 1, label, values, sums, i, current, cost))
        if not changed:
            break
    return ev, start, p, sections


def write_report(path, results, args, elapsed):
    lines = ["# Quality sweep of the profile settings", "",
             "Produced by `PYTHONPATH=build/python/package /usr/bin/python3 bench/quality_sweep.py`"
             f" ({elapsed / 60:.0f} min on this 2-core machine, {args.threads} engine threads;"
             " other jobs shared the cores, so the seconds are indicative).", "",
             "Method: coordinate descent from the previous defaults, one setting at a time, both"
             " stages, every test case per candidate. A setting keeps the value of best mean"
             " PSNR, except that the cheaper value wins when it is within"
             f" {args.tolerance:g} dB of the best (settings marked *cost-ordered*). Test cases:"
             " sigma 0.05, 0.1, 0.15 on a range of 1, white noise and correlated noise (white"
             " noise filtered by [1 2 1]/sqrt(6) along every axis, given to kelvo as its exact"
             " PSD on the fftSize grid).", ""]
    for kind, (ev, start, tuned, sections) in results.items():
        names = sorted({c[0] for c in ev.cases})
        lines += [f"## {kind.capitalize()}s ({', '.join(names)})", ""]
        lines += ["| setting | value | mean PSNR (dB) | white | correlated | mean SSIM "
                  "| s/run | |", "|---|---|---|---|---|---|---|---|"]
        for sweep_pass, label, values, sums, chosen, previous, cost in sections:
            for j, (v, s) in enumerate(zip(values, sums)):
                mark = "**chosen**" if j == chosen else ""
                if abs(v - previous) < 1e-5:
                    mark = (mark + " (previous)").strip()
                name = label + (" *cost-ordered*" if cost else "")
                if args.passes > 1:
                    name += f" (pass {sweep_pass})"
                if s is None:
                    lines.append(f"| {name if j == 0 else ''} | {fmt_value(v)} | error | | | | | |")
                    continue
                lines.append(f"| {name if j == 0 else ''} | {fmt_value(v)} | {s[0]:.2f} | "
                             f"{s[1]:.2f} | {s[2]:.2f} | {s[4]:.4f} | {s[3]:.2f} | {mark} |")
        lines.append("")
        r0, r1 = ev(start), ev(tuned)
        lines += [f"Per case, previous defaults against tuned defaults:", "",
                  "| image | noise | sigma | noisy PSNR | previous PSNR / SSIM / s "
                  "| tuned PSNR / SSIM / s |", "|---|---|---|---|---|---|"]
        for k, (name, clean, sigma, noise, noisy) in enumerate(ev.cases):
            lines.append(f"| {name} | {noise} | {sigma:g} | {bd.psnr(clean, noisy):.2f} | "
                         f"{r0['psnr'][k]:.2f} / {r0['ssim'][k]:.4f} / {r0['seconds'][k]:.2f} | "
                         f"{r1['psnr'][k]:.2f} / {r1['ssim'][k]:.4f} / {r1['seconds'][k]:.2f} |")
        lines += ["", "Tuned profile:", "", "```", repr(tuned), "```", ""]
    with open(path, "w") as f:
        f.write("\n".join(lines))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--only", choices=["volume", "image"])
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--passes", type=int, default=1)
    ap.add_argument("--tolerance", type=float, default=0.1)
    ap.add_argument("--cache", default="/tmp/kelvo_quality_sweep.json")
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("--out", default=os.path.join(here, "quality_sweep.md"))
    args = ap.parse_args()
    print(f"noise seeds {SEED_BASE}+case (volumes), {SEED_BASE + 100}+case (images)", flush=True)
    t0 = time.perf_counter()
    results = {}
    for kind in (["image", "volume"] if args.only is None else [args.only]):
        results[kind] = sweep(kind, args, lambda s: print(s, flush=True))
        print(f"{kind}: tuned {results[kind][2]!r}", flush=True)
    write_report(args.out, results, args, time.perf_counter() - t0)
    print("wrote", args.out)


if __name__ == "__main__":
    main()
