#!/usr/bin/python3
"""Throughput of kelvo.dask.denoise on a local distributed cluster with 1 and 2 workers.

Each worker is one process with one dask thread, and every chunk runs the engine with
--engine-threads threads (default 1, so that the worker count is the parallelism). The
whole-volume kelvo.denoise with the same total thread counts is timed for comparison, and
the largest difference between the chunked and the whole-volume results is reported.

    PYTHONPATH=build/python/package /usr/bin/python3 python/bench_dask.py
    PYTHONPATH=build/python/package /usr/bin/python3 python/bench_dask.py --shape 64 256 256
"""

import argparse
import time

import numpy as np
import dask.array as da
import distributed

import kelvo
import kelvo.dask as kd


def phantom(shape, sigma, seed):
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.arange(n) for n in shape], indexing="ij")
    clean = 40.0 + 0.2 * sum(grids)
    for g in grids:
        clean += 30.0 * ((g // 13) % 2)
    return (clean + rng.normal(0.0, sigma, shape)).astype(np.float32)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--shape", type=int, nargs="+", default=[96, 192, 192],
                        help="array shape, (Z, Y, X) or (H, W)")
    parser.add_argument("--chunks", type=int, nargs="+", default=None,
                        help="target chunk shape (default: half the shape per axis)")
    parser.add_argument("--sigma", type=float, default=10.0)
    parser.add_argument("--engine-threads", type=int, default=1)
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--seed", type=int, default=1234)
    args = parser.parse_args()

    shape = tuple(args.shape)
    chunks = tuple(args.chunks) if args.chunks else tuple(max(1, n // 2) for n in shape)
    print(f"seed {args.seed}, shape {shape}, sigma {args.sigma}, "
          f"engine threads per chunk {args.engine_threads}")
    z = phantom(shape, args.sigma, args.seed)
    voxels = z.size
    depth, unit = kd.overlap_depth(shape)
    print(f"overlap depth {depth}, grid unit {unit}")

    for threads in sorted(set(args.workers)):
        t0 = time.perf_counter()
        whole = kelvo.denoise(z, args.sigma, threads=threads * args.engine_threads)
        t = time.perf_counter() - t0
        print(f"whole volume, {threads * args.engine_threads} engine thread(s): {t:7.2f} s, "
              f"{voxels / t / 1e6:6.3f} Mvoxel/s")

    for workers in args.workers:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1,
                                           processes=True, host="127.0.0.1",
                                           dashboard_address=None, silence_logs=40)
        with distributed.Client(cluster) as client:
            client.wait_for_workers(workers)
            # The array is scattered to the workers first so that the timing is the
            # denoising, not the transfer from this process.
            arr = da.from_array(z, chunks=chunks).persist()
            distributed.wait(arr)
            result = kd.denoise(arr, args.sigma, threads=args.engine_threads)
            t0 = time.perf_counter()
            out = result.compute()
            t = time.perf_counter() - t0
        cluster.close()
        err = float(np.max(np.abs(out.astype(np.float64) - whole)))
        print(f"dask, {workers} worker(s), chunks {tuple(len(c) for c in result.chunks)} of "
              f"{tuple(c[0] for c in result.chunks)}: {t:7.2f} s, "
              f"{voxels / t / 1e6:6.3f} Mvoxel/s, max |chunked - whole| {err:.3g}")


if __name__ == "__main__":
    main()
