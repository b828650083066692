function pro = KELVOProfile(kind, noise)
%KELVOPROFILE Settings of a KELVO denoising run, with the tuned defaults.
%
%   pro = KELVOProfile() returns the default profile. It adapts to the input of KELVO:
%   on a 3-D volume under white noise every setting is used as it stands; on a 2-D image,
%   or with a PSD that is not flat (correlated noise), every setting still equal to its
%   white-noise volume default is replaced by the default for that input, while every
%   setting you changed is kept. Example (the advice of the out-of-memory message):
%
%       pro = KELVOProfile(); pro.splitComp = [false, false, true];
%       y_est = KELVO(z, PSD, pro);
%
%   pro = KELVOProfile('volume') and pro = KELVOProfile('image') return the fixed defaults
%   for 3-D volumes and for 2-D images under white noise; pro = KELVOProfile(kind,
%   'correlated') those for correlated noise (larger blocks, which see across the noise's
%   correlation). They are used as they stand.
%
%   pro = KELVOProfile('colour') is the default profile for an H x W x C image whose third
%   dimension holds its channels (an RGB image): KELVO decorrelates the channels and
%   denoises each as a 2-D image, with the settings adapted as KELVOProfile() adapts them
%   to an image.
%
%   The defaults come from the plug-in (kelvomex('defaults', volumetric, correlated)), so
%   the host functions and the C++ library always agree. Fields:
%
%   hardThreshold, wiener   settings of the two stages, each a struct with
%       blockSize       block extent [d1 d2 d3], 1 to 16 per dimension; [4 4 4] for
%                       volumes ([3 3 3] in the Wiener stage), [8 8 1] for images
%                       (white noise).
%       stepSize        step of the reference grid; at most the block size in every
%                       dimension the block does not span (otherwise samples would go
%                       unfiltered); any step where it does, e.g. dimension 3 of an image.
%       searchRadius    half-size of the block-matching window per dimension.
%       maxGroupSize    largest number of blocks in a group, 1..64 (groups are trimmed to a
%                       power of two).
%       threshold       hard thresholding: coefficients below threshold times their noise
%                       standard deviation are zeroed. Wiener: multiplier of the noise
%                       variance in the empirical Wiener gain (see adaptiveWiener).
%       matchThreshold  largest block distance accepted as a match, relative to the expected
%                       distance between two blocks of pure noise; KELVO passes
%                       matchThreshold * 2 * prod(blockSize) * noiseVariance to the plug-in.
%       minGroupSize    smallest group, a power of two 1..64: where fewer blocks are within
%                       matchThreshold, the nearest ones fill the group anyway (8 in the
%                       Wiener stage of volumes, 2 otherwise).
%   fftSize                 grid of the noise model, powers of two 4..64 (1 for a flat
%                           dimension); a scalar sigma is turned into a flat PSD on it.
%   varianceLimit           group components whose noise variance is computed exactly.
%   splitComp               [d1 d2 d3] logical: cache only the search window along that
%                           dimension (less memory, a little slower).
%   matchNoiseWeight        > 0 subtracts the expected noise from block distances (hard
%                           thresholding only); 0 disables it.
%   sharpen, sharpenVariance, sharpenAlpha, sharpenAlphaFirstSlice
%                           alpha rooting after hard thresholding (off by default).
%   multiscale              correlated noise (a PSD that is not flat), and 2-D images under
%                           any noise: also denoise a copy binned by 2 along every
%                           dimension (2x2x2 or 2x2 means) and take the estimate's low
%                           frequencies from it (true by default; skipped when the binned
%                           copy is smaller than a block). Volumes under white noise take it
%                           where the noise is large against the data (coarseNoiseRatio).
%   coarseNoiseRatio        volumes under white noise, with multiscale: the binned copy runs
%                           where sigma is at least this multiple of the data's own standard
%                           deviation, sqrt(max(0, var - sigma^2)) over the samples with data
%                           (0.5 by default; 0: every volume, Inf: none).
%   adaptiveWiener          volumes only: each Wiener group takes the multiple of
%                           wiener.threshold that leaves the least estimated error, among
%                           4/9, 2/3, 1 and 2 under white or nearly white noise (a PSD
%                           with mean(PSD)^2 / mean(PSD.^2) >= 0.45, as noise correlated
%                           along one axis only) and 10/13, 23/26, 1 and 20/13 under other
%                           correlated noise (true by default; false: as given).
%   refinement              a last pass after the Wiener stage, under white or correlated
%                           noise: each group of the groupSize blocks nearest
%                           (on the Wiener estimate, within searchRadius) to a reference
%                           block on a grid of stepSize is estimated again from the noisy
%                           blocks, with the group's own signal covariance (the scatter of
%                           its blocks in the Wiener estimate) and the noise's covariance
%                           (white, or from the PSD). A struct with
%       enabled         true by default (false skips the pass);
%       blockSize       [3 3 2] for volumes ([3 3 3] under correlated noise), [8 8 1]
%                       for images;
%       stepSize        [2 2 2] for volumes ([3 3 3] under correlated noise), [6 6 1]
%                       for images (1 to 64; beyond the block a sample no group covers
%                       keeps the Wiener estimate); a smaller step gives every sample
%                       more estimates, for more time;
%       searchRadius    [2 2 2] for volumes, [8 8 0] for images;
%       groupSize       blocks per group, 2 to 64: 8 for volumes, 12 for images, 16
%                       under correlated noise.
%   numThreads              worker threads; 0 (or less) uses every core, larger counts than
%                           the machine's cores are clamped to them.
%   kind                    'auto', 'volume', 'image' or 'colour' (see above).
%   noiseDistribution       'gaussian' (additive noise, the default) or 'rician' for
%                           magnitude data such as MRI magnitude images: sigma (or the PSD)
%                           then describes the noise of each real and imaginary channel.
%   coils                   receiver channels combined into each magnitude ('rician' only):
%                           1 gives Rician noise, more give noncentral chi noise.
%   mask                    [] or an array of the volume's size (or of the whole 4-D
%                           series), non-zero inside: samples outside are copied unchanged
%                           and not used when the noise is estimated ('auto').
%
%   KELVO checks every field before it runs and names the field in its errors.
%
%   See also KELVO.

if nargin > 2
    error('kelvo:nargin', ['KELVOProfile: got %d arguments, expected KELVOProfile(), ' ...
          'KELVOProfile(kind) with kind ''auto'', ''volume'', ''image'' or ''colour'', ' ...
          'or ' ...
          'KELVOProfile(kind, noise) with noise ''white'' or ''correlated'''], nargin);
end
if nargin < 1
    kind = 'auto';
end
if nargin < 2
    noise = 'white';
end
if ~ischar(noise) || ~any(strcmp(noise, {'white', 'correlated'}))
    error('kelvo:badProfile', ['KELVOProfile: noise must be ''white'' or ''correlated'' ' ...
          '(a PSD that is not flat); got %s'], describe(noise));
end
if ~ischar(kind) || ~any(strcmp(kind, {'auto', 'volume', 'image', 'colour'}))
    error('kelvo:badProfile', ['KELVOProfile: kind must be ''auto'', ''volume'', ' ...
          '''image'' or ''colour''; got %s'], describe(kind));
end
if any(strcmp(kind, {'auto', 'colour'})) && strcmp(noise, 'correlated')
    error('kelvo:badProfile', ['KELVOProfile: an ''%s'' profile adapts to the noise ' ...
          'itself; pass KELVOProfile(''%s'') or KELVOProfile(''volume'' or ''image'', ' ...
          '''correlated'')'], kind, kind);
end
volumetric = ~strcmp(kind, 'image');
pro = kelvomex('defaults', volumetric, strcmp(noise, 'correlated'));
pro.kind = kind;
pro.noiseDistribution = 'gaussian';
pro.coils = 1;
pro.mask = [];
end

function s = describe(v)
if ischar(v)
    s = ['''' v ''''];
else
    s = sprintf('a %s', class(v));
end
end
