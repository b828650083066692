#include "kelvo/profile.h"

namespace kelvo {

// Tuned by bench/quality_sweep.py on phantoms and a camera crop at sigma 0.05 to 0.15, white
// and correlated noise; bench/quality_sweep.md holds the table behind every value.
//
// The group sizes and the volume's noise grid are the cheaper neighbours of the sweep's best
// values, chosen for speed (measured on this project's 2-core machine, both stages, 2 threads):
// - volumes: groups of 16 / 32 and an 8^3 noise grid run a 181x217x181 volume in 9.3 s
//   (38.09 dB at sigma 0.1) against 30 s for groups of 32 / 64 and a 16^3 grid (37.91 dB);
//   the larger setting gains 0.4 dB on average over the sweep's cases, 0.8 dB with correlated
//   noise, for three times the time (README, "Parameters and their defaults");
// - images: a Wiener group of 32 instead of 64 takes a 512x512 image from 2.6 s to 0.8 s at
//   the same PSNR (29.61 dB on the camera image at sigma 0.1).
//
// The volume thresholds (hard threshold 2.9, Wiener 1.0, from 3.0 and 1.3) were re-tuned on
// two crops of the inia19 T1 volume and two phantoms under white noise of sigma 0.05 to
// 0.15: +0.17 dB at sigma 0.05, +0.11 at 0.1, +0.04 at 0.15, +0.2 to +0.3 on the phantoms,
// at the same run time. Lower thresholds (2.7 / 0.9) gained 0.1 dB more inside the brain
// but left more noise on flat regions: -0.17 dB on the whole inia19 volume, whose
// background of zeros is 80 % of it, where 2.9 / 1.0 lose 0.01 dB.
//
// The Wiener threshold was then lowered to 0.9 for low relative noise: inia19's 0.5-99.5
// percentile range is only 0.3, so sigma 0.05 there is 16 % of it, more than on data that
// spans its range. At sigma 0.01 and 0.02 (3 to 7 % of the range) 0.9 gained 0.05 dB on both
// crops and the whole volume; at 0.03 to 0.15 it gained 0.005 to 0.06 dB on the crops and a
// phantom, and 0.04 to -0.05 dB on the whole volume (bench/white_sweep.py). Lower values
// (0.7, or 2.7 / 0.8) gained 0.1 to 0.2 dB at low relative noise but lost 0.1 to 0.7 dB on
// the whole volume at sigma 0.1 and 0.15. `adaptiveWiener` takes both: under white noise each
// Wiener group of a volume chooses 4/9 to 2 times this threshold by an estimate of the error it
// leaves (engine/src/shrinkage.cpp), +0.12 to +0.27 dB on the crops and the whole volume at
// every sigma over the fixed 0.9, which stays as the centre of that range.
//
// Images: a hard-thresholding search radius of 12 (from 8) with a Wiener threshold of 0.8
// (from 1.0) gained 0.04 to 0.22 dB, 0.11 on average, on 12 images at sigma 0.1 (camera,
// moon, coins, brick, grass, gravel, page, clock, text, a phantom, and camera at sigma 0.05
// and 0.15), for 6 to 13 % more time on the 512x512 camera image; either change alone gained
// half as much and lost up to 0.13 dB on some images.
//
// Images, then: a Wiener search radius of 20 (from 12) gained 0.04 dB on average on 14
// images at sigma 0.05, 0.1 and 0.15 (256x256 crops; worst case -0.05 dB), 0.06 dB on the
// same images at up to 512x512 and sigma 0.1 (worst -0.03) and 0.06 to 0.39 dB on the 2-D
// phantom, for about 1.3 times the time (bench/white_sweep.py, bench/quality_sweep.md).
// Searching the hard-thresholding stage over 16 as well gained slightly more but lost 0.07 dB
// on one image; looser match thresholds (2.0 / 0.4) gained 0.03 dB more on photographs but
// lost up to 0.34 dB on the phantom; a second Wiener pass on the first Wiener estimate lost
// 0.08 dB or more at every threshold tried.
//
// Volumes, then: the Wiener stage on 3x3x3 blocks (from 4x4x4) at steps 3, 3, 2 (from 3) and
// search radius 4 (from 5). The pilot already holds the structure, and smaller blocks follow
// edges and fine detail more closely, while the denser steps along z give every sample more
// estimates to average. The tool's whole run on the 181x217x181 phantom at sigma 0.1: 39.18 ->
// 39.75 dB for 1.07 times the time (both stages, 2 threads); phantoms at sigma 0.05 to 0.15
// +0.8 to +1.9 dB; the inia19 volume scaled so that its brain spans the range (as a T1 of
// range 1 does): the whole volume at sigma 0.05 / 0.1 / 0.15 +0.22 / +0.11 / +0.01 dB, its
// centre crop +0.10 / +0.07 / 0.00. Where the noise is large against the data (the unscaled
// inia19, whose brain spans 0.3 of its range: 17 to 50 % relative noise) they lose 0.02 to
// 0.20 dB. Step 2 gained 0.1 to 0.2 dB more on the brain for about twice the time; 3x3x3
// blocks in hard thresholding, which matches on noisy blocks, lost 0.2 to 0.75 dB on the
// brain (bench/quality_sweep.md, "Smaller Wiener blocks").
//
// Volumes, then: Wiener groups filled to 8 blocks (minGroupSize) where fewer lie within the
// match threshold. That threshold scales with the noise variance, so at low noise it admits
// few blocks of textured tissue and groups of two averaged almost nothing. On the inia19
// volume scaled so that its brain spans the range: +0.27 / +0.12 / +0.03 / +0.01 dB at sigma
// 0.03 / 0.05 / 0.1 / 0.15 on the whole volume and its centre crop alike (+0.34 / +0.19 / +0.04
// on a second crop); correlated noise +0.08 dB on average over 24 cases, none lost; the tool's
// time on 181x217x181 unchanged. Phantoms gain at low noise (+0.5 dB at 0.03) and lose a
// little at 0.1 (-0.11 dB). 4 took half the brain's gain, 16 lost up to 0.5 dB on phantoms.
// Images keep 2: photographs gained 0.05 dB from 8, but the 2-D phantom lost up to 0.74 dB
// (1.15 with the hard-thresholding groups filled too) along its sharp edges.
//
// Then the refinement pass under white noise (kelvo/engine/refinement.h): each group of the
// blocks nearest to a reference on the Wiener estimate is estimated again from the noisy
// blocks with the group's own signal covariance. It gains on every real case measured, where
// retuning the stages' settings had stopped gaining. Volumes: 3x3x3 blocks, step 3, radius 2,
// groups of 8, with the Wiener stage at step 3 along z too (from 2), which pays for it: against
// the former defaults, the inia19 volume scaled so that its brain spans the range gains +0.15
// / +0.18 / +0.11 dB at sigma 0.05 / 0.1 / 0.15 (whole volume), its centre crop +0.06 / +0.11
// / +0.08; the unscaled volume +0.11 / +0.15 / +0.20 (crop +0.08 / +0.10 / +0.11); phantoms
// +0.2 to +0.6 (181x217x181 at sigma 0.1: 39.68 -> 40.12 dB), in about the same time. Groups of
// 16 gained 0.05 to 0.1 dB more on the brain but lost up to 0.57 dB on phantoms (12: half of
// each); the Wiener stage kept at step 2 along z gains 0.05 to 0.1 dB more for about 1.15
// times the time; a step of 4 lost most of the gain, a radius of 1 lost 1.3 dB on the phantom.
// Texture finer than the blocks and weaker than the noise (a product of sines of period 7 and
// amplitude 0.08 over a phantom at sigma 0.1) loses up to 0.2 dB. Images: 8x8 blocks, step 6,
// radius 8, groups of 12: full-size scikit-image images at sigma 0.1 +0.18 dB on average
// (camera -0.01, coins +0.13, clock +0.26, page +0.36, hubble_deep_field +0.35, the 2-D
// phantom +0.47), at 0.15 up to +0.48, at 0.05 -0.04 (coins) to +0.13 and -0.23 on the 2-D
// phantom's sharp edges. Groups of 32 lost 0.12 dB on camera, of 8 gained less elsewhere; a
// step of 5 gained 0.015 dB more for 1.4 times the pass's time.
// The volumes' pass then stepped by 2 along z (3, 3, 2), once its kernels had become about 1.5
// times faster (the pass on 181x217x181 from 1.35 to 0.92 s, 2 threads): each sample is then
// estimated by more groups. On the inia19 volume scaled so that its brain spans the range,
// whole / centre crop / 48x64x64 phantom: +0.06 / +0.05 / +0.13 dB at sigma 0.05, +0.05 /
// +0.04 / +0.08 at 0.1, +0.04 / +0.04 / +0.07 at 0.15; the unscaled volume +0.02 to +0.04; the
// 181x217x181 phantom at 0.1 +0.10, for the faster kernels' time and a little less. A step of
// 2 along every axis gains twice that (+0.08 to +0.28) for 1.3 times the run's time, more than
// the volume profile's speed allows; 2 along x or y instead of z gains the same as along z.
// Correlated noise keeps a step of 3 (below).
// Then, once keeping each group's nearest candidates in vector registers and reading the
// search window in place had made the pass about a fifth faster (same bits), the volumes' pass
// took 3x3x2 blocks at step 2 (902 000 groups on 181x217x181, from 395 000), paid for by a
// Wiener search radius of 3 along z (from 4). Smaller blocks follow edges and thin structure,
// and more groups estimate every sample. Against the former defaults (inia19 scaled so that
// its brain spans the range, whole volume / centre crop, white noise, true sigma): +0.10 /
// +0.07 dB at sigma 0.05, +0.03 / +0.03 at 0.1, +0.02 at 0.15; the unscaled inia19 crop +0.02
// to +0.03 at every sigma; phantoms +0.4 to +0.6 (181x217x181 at 0.1: 40.18 -> 40.32 dB); the
// tool's whole run on that phantom in the former defaults' time with the former kernels. The
// same blocks at the Wiener radius of 4 gain 0.01 dB more on the brain and 0.1 on phantoms
// for 1.05 times the time; 3x3x3 blocks at steps 2, 3, 2 (the same cost) gain +0.02 to +0.04
// on the brain and +0.06 to +0.12 on phantoms; the radius of 3 along every axis costs 0.22 dB
// on the 181x217x181 phantom.
Profile Profile::defaults(bool volumetric) {
    Profile p{};
    if (volumetric) {
        p.hardThreshold = {{4, 4, 4}, {3, 3, 3}, {4, 4, 4}, 16, 2.9f, 1.5f, 2};
        p.wiener = {{3, 3, 3}, {3, 3, 3}, {4, 4, 3}, 32, 0.9f, 0.2f, 8};
        p.fftSize = {8, 8, 8};
        p.splitComp = {false, false, true};
        p.refinement = {true, {3, 3, 2}, {2, 2, 2}, {2, 2, 2}, 8};
    } else {
        p.hardThreshold = {{8, 8, 1}, {3, 3, 1}, {12, 12, 0}, 16, 2.7f, 1.0f, 2};
        p.wiener = {{8, 8, 1}, {3, 3, 1}, {20, 20, 0}, 32, 0.8f, 0.2f, 2};
        p.fftSize = {16, 16, 1};
        p.splitComp = {false, false, false};
        p.refinement = {true, {8, 8, 1}, {6, 6, 1}, {8, 8, 0}, 12};
    }
    p.varianceLimit = 2;
    p.matchNoiseWeight = 1.0f;
    p.sharpen = false;
    p.sharpenVariance = false;
    p.sharpenAlpha = 1.0f;
    p.sharpenAlphaFirstSlice = 1.0f;
    // The coarse scale acts under correlated noise, and on images. Measured on box-correlated noise
    // of sigma 0.1 (3x3x3 / 3x3 box, true PSD) with the correlated defaults, one scale against two:
    // +0.72 dB on two crops of the inia19 T1 volume, +0.48 on camera, +1.96 on moon, +0.92 on
    // brick, +3.4 on clock, +0.38 / +0.22 on the 3-D / 2-D phantoms of bench_data.py, -0.08 on
    // coins, whose small coins the binned copy cannot resolve; for 1.02 to 1.11 times the time on
    // volumes, 1.1 to 1.45 on images (bench/multiscale_check.py, --all for every case; +1.13 dB on
    // the whole inia19 volume). With the smoother (1, 2, 1) kernel: +0.37 on camera, +0.23 / +0.08
    // on the phantoms, -0.12 on coins. Under white noise, with corrections attenuated beyond half
    // the binned noise's standard deviation (coarseCorrectionLimit): on ten 256x256 crops of
    // scikit-image's images +0.09 / +0.17 / +0.29 dB on average at sigma 0.05 / 0.1 / 0.15
    // (clock +1.3 at 0.15; gravel and coins -0.02 at 0.15, the worst), on ten other images and
    // phantoms +0.10 on average, -0.02 at worst, for about 1.2 times the time; on volumes +0.16 to
    // +0.37 dB on the inia19 crops at sigma 0.1 and 0.15, +0.02 at 0.05, +0.01 to +0.07 on
    // phantoms, but 1.10 times the time of the tool's whole run on 181x217x181, more than the
    // volume profile's speed allows for every volume. Its gain follows the noise against the
    // data's own deviation (sqrt(variance - sigma^2)), and it never lost: with the refinement
    // pass in place, the unscaled inia19 (sigma 0.6 to 1.8 times that deviation) +0.06 to
    // +0.36 dB, the inia19 scaled to span the range and phantoms at half of it +0.05 to +0.10,
    // below that +0.01 to +0.08. So white-noise volumes take it from half the deviation on
    // (coarseNoiseRatio): typical data at moderate noise, such as the 181x217x181 phantom at
    // sigma 0.1 (0.39), keeps one scale and its time.
    p.multiscale = true;
    p.coarseNoiseRatio = 0.5f;
    p.adaptiveWiener = true;
    p.numThreads = 0;
    return p;
}

// Correlated noise puts most of its power into a block's low frequencies, which 4x4x4 or
// 8x8 blocks cannot tell from the signal's; blocks wider than the noise's correlation can.
// Measured with box-correlated noise (sigma 0.1, true PSD) against the white defaults
// (bench/quality_sweep.md, "Defaults for correlated noise"):
// - volumes: 6x6x6 blocks at step 5 in both stages, groups of 32: +2.0 dB on a crop of the
//   inia19 T1 volume, +0.2 dB on a phantom, +0.8 dB on another inia19 crop with smoother
//   noise at sigma 0.05; 8x8x8 blocks lost 0.8 dB on the phantom at 1.3 times the time;
// - images: 12x12 blocks in the Wiener stage: +0.1 to +1.0 dB on camera, moon and coins;
//   12x12 in both stages gained as much on average but lost 0.2 dB on coins.
// Both take about twice the time of the white defaults. Correlated noise keeps the earlier
// thresholds (3.0 and 1.3 for volumes, a Wiener threshold of 1.0 for images) and the image
// search radii of 8 and 12: the values re-tuned for white noise lost up to 0.2 dB there.
// The volume step was then lowered from 5 to 4 in both stages, once faster transforms of 6^3
// blocks had halved the profile's time: +0.23 dB on average over 24 cases (two inia19
// crops and a phantom under box, [1 2 1], Gaussian and k-space-like noise at sigma 0.05 and
// 0.1; every case gained, the crops +0.01 to +0.14, the phantom +0.37 to +0.86), for 1.7
// times the time. A Wiener step of 3 gained 0.08 dB more for 1.2 times that again, and made
// the chunk unit of kelvo.dask 24 samples instead of 8.
// The Wiener stage then took 4x4x4 blocks at step 3 (from 6x6x6 at step 4): with the coarse
// scale taking the lowest frequencies out, the Wiener stage, which matches and weighs on the
// pilot, no longer needs blocks as wide as the noise's correlation, and smaller ones follow the
// structure more closely, as under white noise. On the inia19 volume scaled so that its brain
// spans the range, under box, [1 2 1], Gaussian and k-space-like noise at sigma 0.05 and 0.1:
// +0.21 to +0.44 dB on two crops (every case), +0.11 to +0.28 on the whole volume, +0.7 to +1.1
// on a phantom, in 0.8 times the time. Where the noise is large against the data (the unscaled
// inia19, brain within 0.3 of the range, at sigma 0.1) the most correlated noises lose up to
// 0.3 dB (the whole volume under box noise 0.23). 5x5x5 blocks at step 3 lost nowhere but
// gained two thirds as much for 1.4 times the time; 3x3x3 blocks lost up to 0.9 dB there.
// Then the refinement pass with the noise's covariance within a block (taken from the PSD):
// with the white profiles' settings, on two crops of the inia19 volume scaled so that its
// brain spans the range, the unscaled centre crop, a phantom and six scikit-image images under
// box, [1 2 1], Gaussian and k-space-like noise at sigma 0.05 and 0.1 (80 cases), +0.21 dB on
// average, the crops +0.07 to +0.50, the phantom +0.35 to +1.22, the images -0.02 to +0.38,
// for 1.0 to 1.2 times the time. Groups of 16 instead of 8 (volumes) or 12 (images) gained
// more under correlated noise, where they lose on phantoms under white noise: volumes (the
// crops and the phantom, box, Gaussian and k-space-like noise) +0.17 dB on average, every
// case, for 1.1 to 1.3 times the time (1.25 on a 181x217x181 phantom; 12: +0.10; 24: +0.22 for 1.35
// times; 32: +0.20, the k-space-like noise losing); images +0.04 dB, 35 of 36 cases (20: +0.08 at
// sigma 0.1, two cases losing); 12x12 blocks lost 0.09 dB on images. The white volumes' step of
// 2 along z gained only 0.02 dB here (24 cases, +0.06 at most) for 1.1 times the time.
Profile Profile::defaults(bool volumetric, bool correlatedNoise) {
    Profile p = defaults(volumetric);
    if (!correlatedNoise) return p;
    if (volumetric) {
        p.hardThreshold.blockSize = {6, 6, 6};
        p.hardThreshold.stepSize = {4, 4, 4};
        p.wiener.blockSize = {4, 4, 4};
        p.wiener.stepSize = {3, 3, 3};
        p.wiener.searchRadius = {5, 5, 5};
        p.hardThreshold.maxGroupSize = 32;
        p.hardThreshold.threshold = 3.0f;
        p.wiener.threshold = 1.3f;
        p.refinement.blockSize = {3, 3, 3};
        p.refinement.stepSize = {3, 3, 3};
    } else {
        p.wiener.blockSize = {12, 12, 1};
        p.wiener.searchRadius = {12, 12, 0};  // 20 gains 0.01 dB here for 1.35 times the time
        p.hardThreshold.searchRadius = {8, 8, 0};
        p.wiener.threshold = 1.0f;
    }
    p.refinement.groupSize = 16;
    return p;
}

}  // namespace kelvo
