#!/usr/bin/python3
"""PSNR and run time of kelvo on colour images, three ways: the image as a volume three
samples wide (channels filtered jointly, `kelvo.denoise(z, s)`), each channel as an image, and
the channels decorrelated first (`kelvo.denoise(z, s, channel_axis=-1)`); and scikit-image's
colour non-local means at its best h of 0.6 / 0.8 / 1.0 sigma (patch 5, distance 6). White
noise of sigma 0.05 / 0.1 / 0.2 (seed 5 + the sigma's index) on scikit-image's colour images
(chelsea, coffee, rocket, immunohistochemistry, and 384x384 central crops of retina and
hubble_deep_field), range 1; with --box, box-correlated (3x3) noise of sigma 0.1 with its true
PSD instead (the joint run, which would need a 3-D PSD, is left out). 2 engine threads; times
of one run.

    PYTHONPATH=build/release/python/package /usr/bin/python3 bench/colour_check.py [--box]
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_data as bd  # noqa: E402

IMAGES = ["chelsea", "coffee", "rocket", "immunohistochemistry", "retina", "hubble_deep_field"]


def colour_image(name, crop=384):
    from skimage import data
    img = getattr(data, name)()[..., :3].astype(np.float32) / 255.0
    h, w = img.shape[:2]
    if name in ("retina", "hubble_deep_field"):
        top, left = (h - crop) // 2, (w - crop) // 2
        img = img[top:top + crop, left:left + crop]
    return np.ascontiguousarray(img)


def timed(f):
    t = time.perf_counter()
    out = f()
    return out, time.perf_counter() - t


def nlm_best(clean, z, sigma):
    from skimage.restoration import denoise_nl_means
    return max(bd.psnr(clean, denoise_nl_means(z, h=f * sigma, sigma=sigma, patch_size=5,
                                               patch_distance=6, fast_mode=True,
                                               channel_axis=-1))
               for f in (0.6, 0.8, 1.0))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--box", action="store_true", help="box-correlated noise, true PSD")
    args = ap.parse_args()
    kelvo = bd.import_kelvo()
    sigmas = [0.1] if args.box else [0.05, 0.1, 0.2]
    print("| image | sigma | joint (3 wide) | per channel | decorrelated | NLM, colour | "
          "s joint / decorrelated |")
    print("|---|---|---|---|---|---|---|")
    for name in IMAGES:
        clean = colour_image(name)
        for k, sigma in enumerate(sigmas):
            if args.box:
                channels = [bd.add_noise(clean[..., c], sigma, "box", 5 + 10 * c)
                            for c in range(3)]
                z = np.ascontiguousarray(np.stack(channels, axis=-1), dtype=np.float32)
                noise = bd.noise_psd(sigma, "box", (32, 32))
            else:
                rng = np.random.default_rng(5 + k)
                z = (clean + sigma * rng.standard_normal(clean.shape)).astype(np.float32)
                noise = sigma
            joint, tj = (None, 0.0) if args.box else timed(lambda: kelvo.denoise(z, sigma,
                                                                                 threads=2))
            per = np.stack([kelvo.denoise(np.ascontiguousarray(z[..., c]), noise, threads=2)
                            for c in range(3)], axis=-1)
            dec, td = timed(lambda: kelvo.denoise(z, noise, threads=2, channel_axis=-1))
            print(f"| {name} {clean.shape[0]}x{clean.shape[1]} | {sigma} | "
                  f"{'-' if joint is None else f'{bd.psnr(clean, joint):.2f}'} | "
                  f"{bd.psnr(clean, per):.2f} | "
                  f"{bd.psnr(clean, dec):.2f} | {nlm_best(clean, z, sigma):.2f} | "
                  f"{'-' if joint is None else f'{tj:.2f}'} / {td:.2f} |", flush=True)


if __name__ == "__main__":
    main()
