#!/usr/bin/python3
"""Compares kelvo with the non-local means, wavelet and total-variation denoisers of
scikit-image and dipy (dipy's nlmeans on volumes only: it is 3-D only) on the same noisy inputs, and times kelvo against scikit-image's
non-local means side by side.

Quality table (default, or --quality): real data (a 48x96x96 crop of the inia19 primate T1
volume of Debian's mricron-data, as stored and scaled so that its tissue spans the range,
scikit-image's camera, moon and coins images) and phantoms,
on a range of 1: volumes under white noise of sigma 0.05, 0.1 and 0.15, everything under
white noise of sigma 0.1 and box-correlated noise of sigma 0.1 (3x3x3 or 3x3 box), the
phantoms also under the smoother correlated noise of bench_data.py. kelvo runs once with its default profile, given the
true sigma (white) or the true PSD (correlated). Every alternative is given the true noise
standard deviation and gets its best parameter from a small grid, chosen on PSNR against the
clean data (an oracle choice that favours the alternatives); the grid is extended along the
alternative's strength parameter (h, the sigma scale or the TV weight) until its best value is
interior. The chosen setting is then run
again alone in a fresh child process, which reports its seconds and peak resident memory
(VmHWM of that process, so every peak is separate; it includes the Python interpreter,
the libraries and the input, see the baseline row).

Speed table (--speed): both kelvo stages (2 threads, default profile) against
skimage.restoration.denoise_nl_means (fast_mode=True, patch_size=5, patch_distance=6,
h=0.8 sigma, scikit-image's advice for the fast mode) on a 181x217x181 phantom volume and on
the 512x512 camera image, white noise sigma 0.1, PSNR too.

    PYTHONPATH=build/python/package /usr/bin/python3 bench/compare.py            # both tables
    PYTHONPATH=build/python/package /usr/bin/python3 bench/compare.py --quality  # one of them
    PYTHONPATH=build/python/package /usr/bin/python3 bench/compare.py --speed

Writes bench/compare.md (the tables of the parts that ran; the other part's previous table
is kept).
"""

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_data as bd  # noqa: E402

KELVO_THREADS = 2
NLM_SPEED_H = 0.8  # h / sigma of the side-by-side timing (scikit-image's fast-mode advice)


# --- the denoisers (run inside worker processes) ----------------------------------------

def run_method(method, params, z, sigma, noise):
    """Denoises z with one method and one parameter set; returns the estimate."""
    if method.startswith("kelvo"):
        kelvo = bd.import_kelvo()
        # The defaults the module picks itself for this noise (white or correlated).
        p = kelvo.Profile.defaults(z.ndim == 3, noise != "white")
        stages = "hard" if method == "kelvo-hard" else "all"
        return kelvo.denoise(z, bd.kelvo_noise(sigma, noise, p, z.ndim), profile=p,
                             stages=stages, threads=params.get("threads", KELVO_THREADS))
    if method == "nlm-skimage":
        from skimage.restoration import denoise_nl_means
        return denoise_nl_means(z, h=params["h"] * sigma, sigma=sigma, fast_mode=True,
                                patch_size=params["patch"], patch_distance=params["dist"],
                                channel_axis=None)
    if method == "nlm-dipy":
        from dipy.denoise.nlmeans import nlmeans
        return nlmeans(z.astype(np.float64), sigma=params["s"] * sigma,
                       patch_radius=params["patch_radius"], block_radius=params["block_radius"],
                       rician=False, num_threads=KELVO_THREADS)
    if method in ("wavelet", "wavelet-cs"):
        from skimage.restoration import cycle_spin, denoise_wavelet
        kw = dict(sigma=params["s"] * sigma, wavelet=params["wavelet"], mode="soft",
                  method=params["method"], rescale_sigma=True, channel_axis=None)
        if method == "wavelet":
            return denoise_wavelet(z, **kw)
        return cycle_spin(z, func=denoise_wavelet, max_shifts=params["shifts"], func_kw=kw,
                          channel_axis=None, num_workers=1)
    if method == "tv":
        from skimage.restoration import denoise_tv_chambolle
        return denoise_tv_chambolle(z, weight=params["w"] * sigma, channel_axis=None)
    if method == "none":
        return z
    raise ValueError(method)


def grid(method, ndim):
    """The small parameter grid of an alternative."""
    if method == "nlm-skimage":
        patches = [(5, 6), (7, 6)] if ndim == 2 else [(3, 4), (5, 5)]
        return [{"h": h, "patch": p, "dist": d} for p, d in patches
                for h in (0.6, 0.9, 1.2, 1.6, 2.2)]
    if method == "nlm-dipy":
        # Volumes only (see run_case); patch radius 2 was slower and worse in trials.
        return [{"s": s, "patch_radius": 1, "block_radius": 5} for s in (0.6, 0.9, 1.2, 1.6, 2.2)]
    if method == "wavelet":
        return [{"s": s, "wavelet": w, "method": m} for m in ("BayesShrink", "VisuShrink")
                for w in ("db1", "db2", "sym4") for s in (0.6, 1.0, 1.4)]
    if method == "tv":
        return [{"w": w} for w in (0.4, 0.6, 0.8, 1.0, 1.3, 1.7, 2.2)]
    raise ValueError(method)


# The strength parameter of each alternative: its grid is extended along it until the best
# value is interior (at most MAX_EXTENSIONS steps of EXTENSION_FACTOR beyond either end).
SCALE_KEY = {"nlm-skimage": "h", "nlm-dipy": "s", "wavelet": "s", "tv": "w"}
EXTENSION_FACTOR = 1.4
MAX_EXTENSIONS = 4


def extension(method, tried, psnrs):
    """The next setting to try when the best of `tried` lies at an end of its strength range
    (among the settings that share its other parameters), else None."""
    key = SCALE_KEY[method]
    best = tried[int(np.argmax(psnrs))]
    same = [p[key] for p in tried if all(p[k] == best[k] for k in p if k != key)]
    if len(same) < 2:
        return None
    if best[key] == min(same):
        value = round(best[key] / EXTENSION_FACTOR, 3)
    elif best[key] == max(same):
        value = round(best[key] * EXTENSION_FACTOR, 3)
    else:
        return None
    return dict(best, **{key: value})


def peak_rss_kib():
    """Peak resident memory of this process in KiB: VmHWM, the high-water mark of this
    process's own address space (getrusage's ru_maxrss would start at the forking parent's
    size, since Linux keeps it across fork and exec)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return float(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker(spec):
    """Child process: runs one or several parameter sets of one method on one input and
    prints a JSON result line."""
    z = np.load(spec["input"])
    out = {}
    if spec["mode"] == "grid":
        clean = np.load(spec["clean"])
        out["psnr"] = [bd.psnr(clean, run_method(spec["method"], p, z, spec["sigma"],
                                                  spec["noise"])) for p in spec["params"]]
    else:
        base = peak_rss_kib()
        t = time.perf_counter()
        est = run_method(spec["method"], spec["params"], z, spec["sigma"], spec["noise"])
        out["seconds"] = time.perf_counter() - t
        out["peak_mib"] = peak_rss_kib() / 1024.0
        out["base_mib"] = base / 1024.0
        np.save(spec["output"], np.asarray(est, dtype=np.float32))
    print("RESULT " + json.dumps(out), flush=True)


def child(spec):
    """Runs worker(spec) in a fresh Python process and returns its result."""
    r = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", json.dumps(spec)],
                       capture_output=True, text=True)
    for line in r.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[7:])
    raise RuntimeError(f"worker failed ({spec['method']}): {r.stderr.strip()[-2000:]}")


# --- the quality table ------------------------------------------------------------------

def quality_cases(quick=False):
    """(name, clean data, [(noise kind, sigma), ...]) of the quality table: real data (a crop
    of the inia19 T1 volume, as stored and filled to the range, scikit-image's camera, moon and
    coins images) and phantoms,
    white noise at several levels and box-correlated noise (3x3x3 or 3x3, true PSD given)."""
    sig = (0.1,) if quick else bd.SIGMAS
    white = [("white", s) for s in sig]
    cases = [("inia19 T1 48x96x96", bd.inia19((48, 96, 96)), white + [("box", 0.1)])]
    if not quick:
        cases += [("phantom3d 72x100x100", bd.phantom3d((72, 100, 100)),
                   white + [("box", 0.1), ("correlated", 0.1)])]
    cases += [(f"{name} {'x'.join(map(str, img.shape))}", img, [("white", 0.1), ("box", 0.1)])
              for name, img in (("camera", bd.sample_image("camera", None)),
                                ("moon", bd.sample_image("moon", None)),
                                ("coins", bd.sample_image("coins", None)))]
    if not quick:
        cases += [("phantom2d 256x256", bd.phantom2d((256, 256)),
                   [("white", 0.1), ("correlated", 0.1)])]
    else:
        # The volume's other noise levels last, so that the cases above keep their seeds.
        cases += [("inia19 T1 48x96x96", cases[0][1], [("white", 0.05), ("white", 0.15)])]
    # The same crop with its tissue spanning the range (as a T1 of range 1), after the others
    # for the same reason.
    cases += [("inia19 T1 filled 48x96x96", bd.inia19_filled((48, 96, 96)),
               [("white", s) for s in bd.SIGMAS] + [("box", 0.1)])]
    return cases


def fmt_params(p):
    return ", ".join(f"{k}={v:g}" if isinstance(v, float) else f"{k}={v}" for k, v in p.items())


GRID_CACHE = {}
GRID_CACHE_PATH = None
GRID_ONLY = False
NO_RERUN = False


def save_grid_cache():
    if GRID_CACHE_PATH:
        with open(GRID_CACHE_PATH + ".tmp", "w") as f:
            json.dump(GRID_CACHE, f)
        os.replace(GRID_CACHE_PATH + ".tmp", GRID_CACHE_PATH)


VOLUME = {}  # case name -> whether the data is a volume


def run_case(tmp, name, clean, sigma, noise, seed, methods, log):
    VOLUME[name] = clean.ndim == 3
    noisy = bd.add_noise(clean, sigma, noise, seed)
    inp, cln, outp = (os.path.join(tmp, f) for f in ("noisy.npy", "clean.npy", "out.npy"))
    np.save(inp, noisy)
    np.save(cln, clean)
    rows = []
    for method in methods:
        if method == "nlm-dipy" and clean.ndim == 2:
            # dipy's nlmeans is 3-D only: its reflection padding fails on a (H, W, 1) array,
            # and stacking copies of the image only repeats 2-D NLM at many times the cost.
            continue
        params = {}
        if not method.startswith("kelvo") and method != "none":
            cands = grid(method, clean.ndim)
            key = f"{name}|{noise}|{sigma}|{seed}|{method}"
            g = GRID_CACHE.get(key)
            if g is None or g["params"] != cands:
                g = child({"mode": "grid", "method": method, "params": cands, "input": inp,
                           "clean": cln, "sigma": sigma, "noise": noise})
                g["params"] = cands
                GRID_CACHE[key] = g
                save_grid_cache()
            # Extend the grid until its best setting is interior (each extra setting is
            # cached on its own, so the base grid's cache entry stays valid).
            tried, psnrs = list(cands), list(g["psnr"])
            for _ in range(MAX_EXTENSIONS):
                extra = extension(method, tried, psnrs)
                if extra is None:
                    break
                ekey = f"{key}|{fmt_params(extra)}"
                e = GRID_CACHE.get(ekey)
                if e is None:
                    e = child({"mode": "grid", "method": method, "params": [extra], "input": inp,
                               "clean": cln, "sigma": sigma, "noise": noise})
                    GRID_CACHE[ekey] = e
                    save_grid_cache()
                tried.append(extra)
                psnrs.append(e["psnr"][0])
                log(f"{name} {noise} {sigma:g} {method:12s} extended: {fmt_params(extra)} "
                    f"{e['psnr'][0]:.2f} dB")
            params = tried[int(np.argmax(psnrs))]
            g = {"psnr": psnrs}
        if GRID_ONLY:
            continue
        if NO_RERUN and not method.startswith("kelvo") and method != "none":
            # The grid's PSNR of the chosen setting; no timed rerun (no SSIM, seconds, memory).
            nan = float("nan")
            rows.append(dict(image=name, sigma=sigma, noise=noise, method=method,
                             params=fmt_params(params), psnr=max(g["psnr"]), ssim=nan,
                             seconds=nan, peak=nan, base=nan))
            log(f"{name} {noise} {sigma:g} {method:12s} {max(g['psnr']):.2f} dB (grid)")
            continue
        runs = [(method, params)]
        if method == "wavelet":  # cycle spinning of the best wavelet setting
            runs.append(("wavelet-cs", dict(params, shifts=3 if clean.ndim == 2 else 1)))
        for m, prm in runs:
            r = child({"mode": "run", "method": m, "params": prm, "input": inp, "output": outp,
                       "sigma": sigma, "noise": noise})
            est = np.load(outp)
            row = dict(image=name, sigma=sigma, noise=noise, method=m, params=fmt_params(prm),
                       psnr=bd.psnr(clean, est), ssim=bd.ssim(clean, est),
                       seconds=r["seconds"], peak=r["peak_mib"], base=r["base_mib"])
            rows.append(row)
            log(f"{name} {noise} {sigma:g} {m:12s} {row['psnr']:.2f} dB {row['ssim']:.4f} "
                f"{row['seconds']:.2f} s {row['peak']:.0f} MiB  {row['params']}")
    return rows


LABELS = {"kelvo": "kelvo (default profile)", "nlm-skimage": "NLM, scikit-image",
          "nlm-dipy": "NLM, dipy", "wavelet": "wavelet, scikit-image",
          "wavelet-cs": "wavelet + cycle spinning, scikit-image",
          "tv": "TV Chambolle, scikit-image", "none": "noisy input",
          "kelvo-hard": "kelvo, hard thresholding only"}


def quality_table(rows):
    lines = ["| data | noise | sigma | method | PSNR (dB) | SSIM | s | peak MiB | chosen parameters |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['image']} | {r['noise']} | {r['sigma']:g} | {LABELS[r['method']]} | "
                     f"{r['psnr']:.2f} | {r['ssim']:.4f} | {r['seconds']:.2f} | {r['peak']:.0f} | "
                     f"{r['params']} |")
    # Margin of kelvo over the best alternative, per case.
    lines += ["", "Margin of kelvo over the best alternative (PSNR, dB; target: >= 2 dB on "
              "volumes under white noise, >= 1 dB on images and under correlated noise):", "",
              "| data | noise | sigma | kelvo | best alternative | margin | target met |",
              "|---|---|---|---|---|---|---|"]
    keys = []
    for r in rows:
        k = (r["image"], r["noise"], r["sigma"])
        if k not in keys:
            keys.append(k)
    met_all = True
    margins = []
    for k in keys:
        rs = [r for r in rows if (r["image"], r["noise"], r["sigma"]) == k]
        kel = next(r for r in rs if r["method"] == "kelvo")
        alts = [r for r in rs if r["method"] not in ("kelvo", "none", "kelvo-hard")]
        best = max(alts, key=lambda r: r["psnr"])
        margin = kel["psnr"] - best["psnr"]
        target = 2.0 if VOLUME[k[0]] and k[1] == "white" else 1.0
        met = margin >= target
        met_all &= met
        margins.append(margin)
        lines.append(f"| {k[0]} | {k[1]} | {k[2]:g} | {kel['psnr']:.2f} | "
                     f"{best['psnr']:.2f} ({LABELS[best['method']]}) | {margin:+.2f} | "
                     f"{'yes' if met else '**no**'} |")
    lines += ["", f"All targets met: {'yes' if met_all else 'no'} "
              f"(smallest margin {min(margins):+.2f} dB)."]
    return lines


def speed_rows(tmp, log):
    rows = []
    for name, clean in [("phantom3d 181x217x181", bd.phantom3d((181, 217, 181))),
                        ("camera 512x512", bd.sample_image("camera", None))]:
        sigma, noise = 0.1, "white"
        noisy = bd.add_noise(clean, sigma, noise, 7)
        inp, outp = os.path.join(tmp, "noisy.npy"), os.path.join(tmp, "out.npy")
        np.save(inp, noisy)
        runs = [("none", {}), ("kelvo", {"threads": KELVO_THREADS})]
        if clean.ndim == 2:  # the single-thread run of the volume would take minutes
            runs.append(("kelvo", {"threads": 1}))
        runs += [("kelvo-hard", {"threads": KELVO_THREADS}),
                ("nlm-skimage", {"h": NLM_SPEED_H, "patch": 5, "dist": 6})]
        for m, prm in runs:
            r = child({"mode": "run", "method": m, "params": prm, "input": inp, "output": outp,
                       "sigma": sigma, "noise": noise})
            est = np.load(outp)
            row = dict(image=name, method=m, params=fmt_params(prm), psnr=bd.psnr(clean, est),
                       seconds=r["seconds"], peak=r["peak_mib"])
            rows.append(row)
            log(f"{name} {m:12s} {row['psnr']:.2f} dB {row['seconds']:.2f} s "
                f"{row['peak']:.0f} MiB {row['params']}")
    return rows


def speed_table(rows):
    lines = ["| data | method | parameters | PSNR (dB) | s | peak MiB | NLM s / this s |",
             "|---|---|---|---|---|---|---|"]
    for r in rows:
        nlm = next(x for x in rows if x["image"] == r["image"] and x["method"] == "nlm-skimage")
        ratio = "" if r["method"] == "none" else f"{nlm['seconds'] / r['seconds']:.1f}"
        lines.append(f"| {r['image']} | {LABELS[r['method']]} | {r['params']} | {r['psnr']:.2f} | "
                     f"{r['seconds']:.2f} | {r['peak']:.0f} | {ratio} |")
    return lines


def machine():
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        cpu = platform.processor()
    import dipy
    import skimage
    return (f"{cpu}, {os.cpu_count()} cores; Python {platform.python_version()}, NumPy "
            f"{np.__version__}, scikit-image {skimage.__version__}, dipy {dipy.__version__}")


def write(path, quality, speed, command):
    """Writes compare.md, keeping the previous table of a part that did not run."""
    old = open(path).read() if os.path.exists(path) else ""

    def section(title, lines):
        if lines is not None:
            return f"## {title}\n\nProduced by `{command}` on {machine()}.\n\n" + "\n".join(lines)
        start = old.find(f"## {title}")
        if start < 0:
            return f"## {title}\n\n(not run yet)"
        end = old.find("\n## ", start + 1)
        return old[start:end if end >= 0 else len(old)].rstrip()

    text = ["# kelvo against the alternatives", "",
            section("Quality", quality), "", section("Speed, side by side", speed), ""]
    with open(path, "w") as f:
        f.write("\n".join(text))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--quality", action="store_true", help="only the quality table")
    ap.add_argument("--speed", action="store_true", help="only the side-by-side timings")
    ap.add_argument("--quick", action="store_true",
                    help="real data only (the inia19 crop, as stored and filled to the "
                         "range, at sigma 0.05, 0.1 and 0.15 and box-correlated 0.1, the "
                         "images at 0.1 white and box-correlated), "
                         "without dipy")
    ap.add_argument("--out", default=os.path.join(HERE, "compare.md"))
    ap.add_argument("--grid-cache", default="",
                    help="JSON file keeping the alternatives' grid results between runs "
                         "(they do not depend on kelvo); the timed runs are always repeated")
    ap.add_argument("--grid-only", action="store_true",
                    help="fill the grid cache only (no timed runs, no table)")
    ap.add_argument("--no-rerun", action="store_true",
                    help="take the alternatives' PSNR from their grid runs instead of a timed "
                         "rerun of the chosen setting (no SSIM, seconds or memory for them)")
    args = ap.parse_args()
    if args.worker:
        worker(json.loads(args.worker))
        return
    global GRID_CACHE_PATH, GRID_ONLY, NO_RERUN
    GRID_ONLY = args.grid_only
    NO_RERUN = args.no_rerun
    if args.grid_cache:
        GRID_CACHE_PATH = args.grid_cache
        if os.path.exists(GRID_CACHE_PATH):
            GRID_CACHE.update(json.load(open(GRID_CACHE_PATH)))
    both = not args.quality and not args.speed
    log = lambda s: print(s, flush=True)  # noqa: E731
    command = "PYTHONPATH=build/python/package /usr/bin/python3 bench/compare.py" + (
        " --quality" if args.quality else "") + (" --speed" if args.speed else "") + (
        " --quick" if args.quick else "") + (" --no-rerun" if args.no_rerun else "")
    quality = speed = None
    with tempfile.TemporaryDirectory() as tmp:
        if args.quality or both:
            methods = ["none", "kelvo", "nlm-skimage", "nlm-dipy", "wavelet", "tv"]
            if args.quick:  # dipy's non-local means: the slowest, never the best alternative
                methods.remove("nlm-dipy")
            rows = []
            seed = 5000
            print(f"noise seeds from {seed}", flush=True)
            for name, clean, noises in quality_cases(args.quick):
                for noise, sigma in noises:
                    rows += run_case(tmp, name, clean, sigma, noise, seed, methods, log)
                    seed += 1
            if GRID_ONLY:
                print("grid cache filled:", GRID_CACHE_PATH)
                return
            quality = quality_table(rows)
            base = min(r["peak"] for r in rows if r["method"] == "none")
            quality += ["", f"Peak MiB is the child process's whole resident peak; a process that"
                        f" only loads the input peaks at about {base:.0f} MiB."]
        if args.speed or both:
            speed = speed_table(speed_rows(tmp, log))
    write(args.out, quality, speed, command)
    print("wrote", args.out)


if __name__ == "__main__":
    main()
