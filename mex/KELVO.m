function [y_est, matchesHT, matchesWie] = KELVO(z, sigma_psd, profile)
%KELVO Removes noise, Gaussian (white or correlated) or the Rician noise of magnitude images,
%   from a 2-D image, a 3-D volume or a series of volumes.
%
%   y_est = KELVO(z, sigma) denoises z corrupted by white Gaussian noise of standard
%   deviation sigma (in the units of z).
%
%   y_est = KELVO(z, PSD) denoises z corrupted by correlated Gaussian noise with the power
%   spectral density PSD: a 2-D or 3-D array in the same axes as z, with
%   PSD = E|fftn(noise)|.^2 (the unscaled DFT), on the grid on which the noise is modelled or
%   on a smaller one (it is resampled to profile.fftSize). White noise of standard deviation
%   s has the constant PSD s^2 * numel(PSD).
%
%   y_est = KELVO(z, 'auto') estimates the standard deviation of white noise first (from the
%   finest-scale wavelet details of the samples that carry data; for a series of volumes,
%   for each volume separately).
%
%   y_est = KELVO(z, sigma_psd, profile) uses the settings of profile (see KELVOProfile);
%   without it, KELVOProfile() is used. Among them:
%       profile.noiseDistribution = 'rician' for magnitude data (MRI magnitude images):
%           sigma (or the PSD) is then the noise of each real and imaginary channel, and
%           profile.coils the number of channels combined into each magnitude.
%       profile.mask, an array of z's size (or of one volume's size), non-zero inside:
%           samples outside are copied to y_est unchanged and not used by 'auto'.
%
%   y_est = KELVO(rgb, sigma_psd, KELVOProfile('colour')) denoises an H x W x C image whose
%   third dimension holds its channels (an RGB image as imread gives it): channels that
%   share their structure (as colours do) are decorrelated by the orthonormal DCT across
%   them (for RGB the opponent colour transform), and each is denoised as a 2-D image.
%   sigma_psd is then one sigma, a vector of C sigmas (one per channel), a 2-D PSD that
%   every channel's noise has, or 'auto' (each channel's sigma estimated). A pixel with a non-finite sample in any channel comes back
%   unchanged in every channel; profile.mask is of z's size.
%
%   z may be 2-D, 3-D, or 4-D (a series of volumes, denoised one by one as separate calls
%   would). NaN and Inf samples carry no data: they come back unchanged in y_est and are
%   filled from their finite neighbours for the processing.
%
%   [y_est, matchesHT, matchesWie] = KELVO(...) also returns the groups that block matching
%   formed in the hard-thresholding and the Wiener stage, as match records (structs with the
%   fields stackCount, groupSizes, blockPositions, shiftedPositions; a 1xT struct array for a
%   series). A record can be handed back to kelvomex (match mode 1) to filter another volume
%   of the same size with the same groups (with NaN or a mask, records cover the box of the
%   samples with data).
%
%   KELVO runs hard thresholding on z, then Wiener filtering of z with the first estimate as
%   the pilot, and returns the second estimate. z must be real (complex data is rejected:
%   denoise real(z) and imag(z) separately, or abs(z) with noiseDistribution 'rician'); the
%   result is single unless z is double. Every argument and profile field is checked first:
%   errors name the argument or the field (identifiers kelvo:nargin, kelvo:badInput,
%   kelvo:badNoise, kelvo:badProfile, kelvo:volumeTooSmall, kelvo:noData).
%
%   Example:
%       pro = KELVOProfile(); pro.noiseDistribution = 'rician';
%       y_est = KELVO(magnitude, 'auto', pro);
%
%   See also KELVOProfile.

if nargin < 2
    error('kelvo:nargin', ['KELVO: got %d arguments, expected KELVO(z, sigma_psd[, profile]) ' ...
          'with sigma_psd a standard deviation, a PSD array or ''auto'''], nargin);
end
if ~(isnumeric(z) || islogical(z)) || isempty(z) || ndims(z) > 4
    error('kelvo:badInput', ['KELVO: z must be a non-empty numeric 2-D or 3-D array, or a ' ...
          '4-D series of volumes; got %s of size %s'], class(z), mat2str(size(z)));
end
if ~isreal(z)
    error('kelvo:complexUnsupported', ['KELVO: z is complex; KELVO filters real data only ' ...
          '(denoise real(z) and imag(z) separately, or abs(z) with ' ...
          'profile.noiseDistribution = ''rician'')']);
end
if nargin >= 3 && isstruct(profile) && isscalar(profile) && isfield(profile, 'kind') && ...
   ischar(profile.kind) && strcmp(profile.kind, 'colour')
    if nargout > 1
        error('kelvo:nargin', ['KELVO: a colour image (profile.kind ''colour'') returns ' ...
              'no match records; call y_est = KELVO(z, sigma_psd, profile)']);
    end
    y_est = denoiseColour(z, sigma_psd, profile);
    return;
end
volSize = size(z);
volSize = [volSize, ones(1, 3 - numel(volSize))];
volSize = volSize(1:3);
count = size(z, 4);
volumetric = volSize(3) > 1;

noise = noiseArgument(sigma_psd, volSize);
if nargin < 3 || isempty(profile)
    profile = KELVOProfile();
end
pro = resolveProfile(profile, volumetric, isstruct(noise) && isCorrelated(noise.psd));
pro = fitVolume(pro, volSize);
[rician, coils] = noiseModel(pro);
mask = maskOf(pro.mask, size(z), volSize, count);

wantHT = nargout >= 2;
wantWie = nargout >= 3;
if count == 1
    [y_est, matchesHT, matchesWie] = denoiseVolume(z, noise, pro, rician, coils, mask, ...
                                                   wantHT, wantWie);
    return;
end
if isa(z, 'double')
    y_est = zeros(size(z));
else
    y_est = zeros(size(z), 'single');
end
matchesHT = struct([]);
matchesWie = struct([]);
for t = 1:count
    if iscell(mask)
        m = mask{t};
    else
        m = mask;
    end
    [y, mHT, mWie] = denoiseVolume(z(:, :, :, t), noise, pro, rician, coils, m, wantHT, wantWie);
    y_est(:, :, :, t) = y;
    if wantHT
        matchesHT = [matchesHT, mHT]; %#ok<AGROW>
    end
    if wantWie
        matchesWie = [matchesWie, mWie]; %#ok<AGROW>
    end
end
end

function y_est = denoiseColour(z, sigma_psd, profile)
% An H x W x C image with its channels along dimension 3: whitened by each channel's sigma,
% decorrelated by the orthonormal DCT across channels where they share their structure,
% each (transformed) channel denoised as an image and the transform undone, as
% kelvo::denoiseChannels does.
if ndims(z) ~= 3
    error('kelvo:badInput', ['KELVO: profile.kind ''colour'' takes an H x W x C image whose ' ...
          'third dimension holds its channels; got size %s'], mat2str(size(z)));
end
[h, w, c] = size(z);
planePro = profile;
planePro.kind = 'auto';
[rician, ~] = noiseModel(resolveProfile(planePro, false, false));
if rician
    error('kelvo:badProfile', ['KELVO: magnitude (Rician) noise is not additive, so it ' ...
          'does not survive the transform across channels: denoise each channel of ' ...
          'magnitude data on its own']);
end
mask = [];
if isfield(profile, 'mask') && ~isempty(profile.mask)
    mask = maskOf(profile.mask, size(z), size(z), 1);
end
planeNoise = 1;
noiseVariance = 1;
if ischar(sigma_psd) && strcmp(sigma_psd, 'auto')
    sig = zeros(1, c);
    for k = 1:c
        channelMask = [];
        if ~isempty(mask)
            channelMask = mask(:, :, k);
        end
        try
            sig(k) = kelvonoise('estimate', single(z(:, :, k)), channelMask, 'gaussian', 1);
        catch err
            error('kelvo:badNoise', 'KELVO: sigma_psd ''auto'', channel %d: %s', k, ...
                  regexprep(err.message, '^kelvonoise: ', ''));
        end
    end
elseif isnumeric(sigma_psd) && isvector(sigma_psd) && numel(sigma_psd) > 1
    if numel(sigma_psd) ~= c || ~isreal(sigma_psd) || ...
       any(~isfinite(sigma_psd(:)) | sigma_psd(:) <= 0)
        error('kelvo:badNoise', ['KELVO: sigma_psd holds %d values for an image of %d ' ...
              'channels: pass one sigma, one positive sigma per channel, a 2-D PSD or ' ...
              '''auto'''], numel(sigma_psd), c);
    end
    sig = double(sigma_psd(:)');
else
    noise = noiseArgument(sigma_psd, [h, w, 1]);
    if isempty(noise.psd)
        sig = repmat(noise.sigma, 1, c);
    else
        if size(noise.psd, 3) > 1
            error('kelvo:badNoise', ['KELVO: the PSD of a colour image is 2-D, on the ' ...
                  'image''s own axes; got size %s'], mat2str(size(noise.psd)));
        end
        sig = ones(1, c);
        planeNoise = noise.psd;
        noiseVariance = noise.sigma^2;
    end
end
finite = all(isfinite(z), 3);
planeMask = [];
if ~isempty(mask)
    planeMask = any(mask, 3);
end
usable = finite;
if ~isempty(planeMask)
    usable = usable & planeMask;
end
if ~any(usable(:))
    error('kelvo:noData', 'KELVO: no pixel of z%s is finite in every channel', ...
          ifText(~isempty(mask), ' inside profile.mask'));
end
[kk, cc] = ndgrid(0:c - 1, 0:c - 1);
dct = sqrt((1 + (kk > 0)) / c) .* cos(pi * (cc + 0.5) .* kk / c);
x = reshape(double(z), h * w, c) ./ sig;
% The DCT only where it compacts the channels' signal (channels that share their structure):
% the geometric mean of their signal variances, in units of the noise's, must exceed that of
% the transformed channels 1.5 times; else each channel is denoised on its own.
mixed = false;
if c > 1 && nnz(usable) > 1
    signal = cov(x(usable(:), :)) / noiseVariance - eye(c);
    geometric = @(v) exp(mean(log(max(v, 1e-3))));
    mixed = geometric(diag(signal)) > 1.5 * geometric(diag(dct * signal * dct.'));
end
transform = eye(c);
if mixed
    transform = dct;
end
planes = x * transform.';
planes(~finite(:), :) = NaN;
% Each transformed channel as KELVO denoises a 2-D image; decorrelated channels after the
% first replay the first one's groups (it holds most of the signal, the others too little
% of it to match their blocks on).
planeSize = [h, w, 1];
planeNoiseArg = noiseArgument(planeNoise, planeSize);
planePro = fitVolume(resolveProfile(planePro, false, isCorrelated(planeNoiseArg.psd)), planeSize);
planeMask = maskOf(planeMask, planeSize(1:2), planeSize, 1);
groups = [];
y = zeros(h * w, c);
for k = 1:c
    plane = reshape(single(planes(:, k)), h, w);
    if mixed && k == 1
        [estimate, ~, ~, groups] = denoiseVolume(plane, planeNoiseArg, planePro, false, 1, ...
                                                 planeMask, false, false);
    else
        estimate = denoiseVolume(plane, planeNoiseArg, planePro, false, 1, planeMask, false, ...
                                 false, groups);
    end
    y(:, k) = double(estimate(:));
end
y = reshape((y * transform) .* sig, h, w, c);
keep = repmat(~finite, 1, 1, c);
if ~isempty(mask)
    keep = keep | ~mask;
end
y(keep) = double(z(keep));
if isa(z, 'double')
    y_est = y;
else
    y_est = single(y);
end
end

function [y_est, matchesHT, matchesWie, groups] = denoiseVolume(z, noise, pro, rician, coils, ...
                                                                mask, wantHT, wantWie, groupsIn)
% One 2-D or 3-D volume: samples without data are set aside, the box that holds the data is
% denoised, and the estimate is written back only where there was data. With a fourth output
% every stage records its groups into `groups`; with `groupsIn` every stage replays them, as
% the transformed channels of a colour image after the first do (kelvo::denoiseChannels).
if nargin < 9
    groupsIn = [];
end
share = nargout >= 4;
groups = struct('coarseHT', struct([]), 'ht', struct([]), 'coarseWie', struct([]), ...
                'wie', struct([]));
matchesHT = struct([]);
matchesWie = struct([]);
zs = single(z);
hasData = isfinite(zs);
if ~isempty(mask)
    hasData = hasData & mask;
end
if ~any(hasData(:))
    error('kelvo:noData', ['KELVO: z has no finite sample%s; pass a volume with data or ' ...
          'a mask (profile.mask) that selects some'], ifText(~isempty(mask), ...
          ' inside profile.mask'));
end

% Only the box around the data is processed, as the C++ API does.
box = dataBox(hasData, pro);
crop = zs(box{:});
cropMask = [];
if ~isempty(mask)
    cropMask = mask(box{:});
end

if ischar(noise)
    try
        sigma = kelvonoise('estimate', crop, cropMask, distributionName(rician), coils);
    catch err
        error('kelvo:badNoise', 'KELVO: sigma_psd ''auto'': %s', ...
              regexprep(err.message, '^kelvonoise: ', ''));
    end
    psd = [];
else
    sigma = noise.sigma;
    psd = noise.psd;
end

% Under white noise a volume takes the coarse scale where the noise is large against the
% data: sigma (for a flat PSD its standard deviation, see noiseArgument) over the data's own
% deviation, over every sample with data, as kelvo::denoise measures it (KELVOProfile,
% coarseNoiseRatio).
relativeNoise = 0;
if size(crop, 3) > 1 && ~isCorrelated(psd)
    v = double(zs(hasData));
    signal = mean((v - mean(v)).^2) - sigma^2;
    relativeNoise = Inf;
    if signal > 0
        relativeNoise = sigma / sqrt(signal);
    end
end

% Non-finite samples are filled from their neighbours so that no block sees them.
if ~all(isfinite(crop(:)))
    crop = kelvonoise('fill', crop);
end

% Magnitude data: both stages run on the stabilised samples, whose noise has unit variance.
% Gaussian noise far from unit scale: on samples and noise scaled by an exact power of two.
scale = 0;
if rician
    crop = kelvonoise('stabilise', crop, sigma, coils);
else
    if isempty(psd)
        scale = noiseScaleExponent(sigma, crop);
    else
        scale = noiseScaleExponent(sqrt(mean(double(psd(:))) / numel(psd)), crop);
        psd = single(double(psd) * 2^(2 * scale));
    end
    if scale ~= 0
        crop = single(double(crop) * 2^scale);
    end
end
if isempty(psd)
    s = sigma * 2^scale;
    if rician
        s = 1;
    end
    noiseVariance = s^2;
    psd = single(noiseVariance * prod(pro.fftSize)) * ones(pro.fftSize, 'single');
else
    noiseVariance = mean(double(psd(:))) / numel(psd);
    if rician
        psd = psd / single(noiseVariance);
        noiseVariance = 1;
    end
end

% Under correlated noise, on images, and on volumes whose white noise is large against the
% data, a copy binned by 2 along every dimension longer than one sample is denoised too, each
% stage on it before the full volume, and the estimate takes its low-pass content from the
% copy's estimate, as kelvo::denoise does (KELVOProfile, multiscale).
cropSize = size(crop);
correlated = isCorrelated(psd);
ratio = double(pro.coarseNoiseRatio);
multiscale = logical(pro.multiscale) && coarseFits(cropSize, pro) && ...
             (correlated || size(crop, 3) == 1 || (~isinf(ratio) && relativeNoise >= ratio));
if multiscale
    cropC = kelvonoise('bin', crop);
    psdC = kelvonoise('coarsepsd', psd, cropSize);
    varianceC = mean(double(psdC(:))) / numel(psdC);
    [y1c, groups.coarseHT] = runStage(stageArguments(cropC, psdC, pro, pro.hardThreshold, ...
        varianceC, false, single([]), share), groupsIn, 'coarseHT');
end
[y1, groups.ht] = runStage(stageArguments(crop, psd, pro, pro.hardThreshold, ...
    noiseVariance, false, single([]), wantHT || share), groupsIn, 'ht');
matchesHT = groups.ht;
if multiscale
    [y2c, groups.coarseWie] = runStage(stageArguments(cropC, psdC, pro, pro.wiener, ...
        varianceC, true, y1c, share), groupsIn, 'coarseWie');
end
[y2, groups.wie] = runStage(stageArguments(crop, psd, pro, pro.wiener, noiseVariance, true, ...
    y1, wantWie || share), groupsIn, 'wie');
matchesWie = groups.wie;
if multiscale
    % Differences are attenuated beyond the binned noise's standard deviation, or half of it
    % on images under white noise.
    limit = sqrt(varianceC);
    if ~correlated && size(crop, 3) == 1
        limit = limit / 2;
    end
    y2 = kelvonoise('correct', y2, y2c, limit);
end
% A last pass re-estimates every group of blocks matched on the Wiener estimate with the
% group's own signal covariance, as kelvo::denoise does (KELVOProfile, refinement): given the
% variance of white noise (no PSD, or a flat one), or the PSD of correlated noise.
ref = pro.refinement;
if logical(ref.enabled) && ...
        all([size(crop, 1), size(crop, 2), size(crop, 3)] >= double(ref.blockSize(:)'))
    if correlated
        refineNoise = psd;
    else
        % The variance of the PSD the stages saw, as the C++ library takes it.
        refineNoise = mean(double(single(psd(:)))) / numel(psd);
    end
    y2 = kelvonoise('refine', crop, y2, refineNoise, double(ref.blockSize), ...
                    double(ref.stepSize), double(ref.searchRadius), double(ref.groupSize), ...
                    double(pro.numThreads));
end
if scale ~= 0
    y2 = single(double(y2) * 2^-scale);
end
if rician
    y2 = kelvonoise('unstabilise', y2, sigma, coils);
end

% Samples without data keep their exact input value (a double input stays double there).
if isa(z, 'double')
    y_est = z;
else
    y_est = zs;
end
out = y_est(box{:});
keep = hasData(box{:});
out(keep) = y2(keep);
y_est(box{:}) = out;
end

function k = noiseScaleExponent(sigma, crop)
% The power of two the samples and the noise are scaled by, as kelvo::denoise chooses it: the
% engine's arithmetic holds absolute floors (a noise variance below 1e-8 counts as 1e-8) and
% squares of samples (which overflow single beyond about 1e17), so a noise standard deviation
% outside [2^-7, 2^7) is brought into [2^-4, 2^-3), as far as the largest sample stays below
% 2^51. Scaling by a power of two is exact.
k = 0;
if sigma >= 2^-7 && sigma < 2^7
    return;
end
[~, e] = log2(sigma);
k = -(e - 1) - 4;
largest = max(abs(double(crop(:))));
if largest > 0
    [~, e] = log2(largest);
    k = min(k, 50 - (e - 1));
end
end

function fits = coarseFits(sz, pro)
% Whether the copy binned by 2 holds a block of each stage (else it is not made).
sz = [sz, ones(1, 3 - numel(sz))];
binned = sz > 1;
sz(binned) = ceil(sz(binned) / 2);
block = max(double(pro.hardThreshold.blockSize(:)'), double(pro.wiener.blockSize(:)'));
fits = all(sz >= block);
end

function box = dataBox(hasData, pro)
% Index ranges of the bounding box of the samples with data, grown by two blocks (the larger
% of the two stages') for context at the edge of the data, and to at least one block where
% the volume allows: the region kelvo::denoise processes.
sz = [size(hasData), ones(1, 3 - ndims(hasData))];
block = max(double(pro.hardThreshold.blockSize(:)'), double(pro.wiener.blockSize(:)'));
box = cell(1, 3);
for d = 1:3
    along = hasData;
    for e = setdiff(1:3, d)
        along = any(along, e);
    end
    idx = find(along(:));
    lo = max(1, idx(1) - 2 * block(d));
    hi = min(sz(d), idx(end) + 2 * block(d));
    while hi - lo + 1 < block(d) && (lo > 1 || hi < sz(d))
        if lo > 1
            lo = lo - 1;
        end
        if hi - lo + 1 < block(d) && hi < sz(d)
            hi = hi + 1;
        end
    end
    box{d} = lo:hi;
end
end

function [y, record] = runStage(args, groupsIn, name)
% One kelvomex stage call: it records its groups when its arguments ask for them, or replays
% the groups of `groupsIn.(name)` when groupsIn is not empty.
record = struct([]);
if ~isempty(groupsIn)
    args{19} = int32(1);
    args{20} = groupsIn.(name);
    y = kelvomex(args{:});
elseif args{19} == 0
    [y, record] = kelvomex(args{:});
else
    y = kelvomex(args{:});
end
end

function args = stageArguments(z, psd, pro, st, noiseVariance, wiener, pilot, record)
% The 27 positional arguments of one kelvomex stage call and the two optional ones.
blockSize = double(st.blockSize(:)');
matchThreshold = st.matchThreshold * 2 * prod(blockSize) * noiseVariance;
if record
    mode = int32(0);
else
    mode = int32(-1);
end
% Along a dimension where the volume is one sample thick there is one block position
% whatever the step, so the step is clamped to the block there.
step = double(st.stepSize(:)');
sz = [size(z), ones(1, 3 - ndims(z))];
flat = sz(1:3) == 1;
step(flat) = min(step(flat), blockSize(flat));
% A variance limit of 0 means the same as 1: every component gets the local variance.
varianceLimit = max(1, double(pro.varianceLimit));
builtIn = {[], [], []};
% The smallest group never exceeds the largest, nor what the search window holds at a
% corner of the volume (a group of another size than a power of two has no group transform),
% and stays a power of two: the C++ library's rule.
minGroup = 2 ^ floor(log2(min(double(st.minGroupSize), double(st.maxGroupSize))));
radius = max(0, min(double(st.searchRadius(:)'), sz(1:3) - blockSize));
while minGroup > 2 && minGroup > prod(radius + 1)
    minGroup = minGroup / 2;
end
args = {z, {}, {}, int32(step), int32(st.blockSize), int32(st.maxGroupSize), ...
        single(st.threshold), single(matchThreshold), int32(st.searchRadius), ...
        builtIn, builtIn, single([]), psd, int32(pro.fftSize), ...
        single(pro.matchNoiseWeight), int32(varianceLimit), logical(pro.splitComp), ...
        {}, mode, struct(), logical(wiener), pilot, logical(pro.sharpen), ...
        logical(pro.sharpenVariance), single(pro.sharpenAlpha), ...
        single(pro.sharpenAlphaFirstSlice), int32(pro.numThreads), ...
        logical(pro.adaptiveWiener), int32(minGroup)};
end

function noise = noiseArgument(sigma_psd, volSize)
% 'auto', or a struct with sigma (white noise; psd empty) or psd (and sigma = its root mean
% variance per sample).
if ischar(sigma_psd)
    if ~strcmp(sigma_psd, 'auto')
        error('kelvo:badNoise', ['KELVO: sigma_psd is the text ''%s''; pass ''auto'', the ' ...
              'noise standard deviation or a PSD array'], sigma_psd);
    end
    noise = 'auto';
    return;
end
if ~(isnumeric(sigma_psd) || islogical(sigma_psd)) || ~isreal(sigma_psd) || ...
   isempty(sigma_psd) || ndims(sigma_psd) > 3
    error('kelvo:badNoise', ['KELVO: sigma_psd must be a positive real scalar (the noise ' ...
          'standard deviation), a real 2-D or 3-D PSD array or ''auto''; got %s of size %s'], ...
          class(sigma_psd), mat2str(size(sigma_psd)));
end
if isscalar(sigma_psd)
    sigma = double(sigma_psd);
    if ~isfinite(sigma) || sigma <= 0
        error('kelvo:badNoise', ['KELVO: sigma_psd (the noise standard deviation) must be ' ...
              'positive and finite; got %g. Pass the standard deviation of the noise, a ' ...
              'PSD array or ''auto'' to estimate it'], sigma);
    end
    noise = struct('sigma', sigma, 'psd', []);
    return;
end
psd = single(sigma_psd);
if any(~isfinite(psd(:))) || any(psd(:) < 0)
    error('kelvo:badNoise', 'KELVO: the PSD (sigma_psd) must be finite and non-negative');
end
variance = mean(double(psd(:))) / numel(psd);
if ~(variance > 0)
    error('kelvo:badNoise', 'KELVO: the PSD (sigma_psd) is zero everywhere');
end
% A PSD of the volume's full size read in the reversed axis order would be silently wrong.
psdSize = size(psd);
psdSize = [psdSize, ones(1, 3 - numel(psdSize))];
if ~isequal(psdSize, volSize) && isequal(psdSize, fliplr(volSize))
    error('kelvo:badNoise', ['KELVO: the PSD has size %s, the size of z (%s) reversed; a ' ...
          'PSD is read in the same axes as z. If it was saved in the reverse axis order, ' ...
          'pass permute(PSD, [3 2 1])'], mat2str(psdSize), mat2str(volSize));
end
noise = struct('sigma', sqrt(variance), 'psd', psd);
end

function mask = maskOf(m, zSize, volSize, count)
% The profile's mask as a logical array of one volume's size, a cell of T of them for a
% per-volume mask of a series, or [] for none.
if isempty(m)
    mask = [];
    return;
end
if ~(isnumeric(m) || islogical(m)) || ~isreal(m)
    error('kelvo:badProfile', ['KELVO: profile.mask must be a logical or numeric array ' ...
          '(non-zero = inside) or []; got %s'], class(m));
end
zSizeGiven = zSize;
mSize = size(m);
mSize = [mSize, ones(1, 4 - numel(mSize))];
zSize = [zSize, ones(1, 4 - numel(zSize))];
if isequal(mSize(1:3), volSize) && mSize(4) == 1
    mask = m ~= 0;
elseif isequal(mSize, zSize)
    mask = cell(1, count);
    for t = 1:count
        mask{t} = m(:, :, :, t) ~= 0;
    end
else
    error('kelvo:badProfile', ['KELVO: profile.mask has size %s but z has size %s; pass a ' ...
          'mask of the size of z (or of one of its volumes), non-zero inside'], ...
          mat2str(size(m)), mat2str(zSizeGiven));
end
end

function [rician, coils] = noiseModel(pro)
d = pro.noiseDistribution;
if ~ischar(d) || ~any(strcmp(d, {'gaussian', 'rician'}))
    error('kelvo:badProfile', ['KELVO: profile.noiseDistribution must be ''gaussian'' or ' ...
          '''rician'' (magnitude data); got %s'], describeValue(d));
end
rician = strcmp(d, 'rician');
coils = double(pro.coils);
if coils < 1 || coils > 64
    error('kelvo:badProfile', ['KELVO: profile.coils must be a whole number from 1 to 64 ' ...
          '(the receiver channels combined into each magnitude); got %s'], mat2str(coils));
end
if coils ~= 1 && ~rician
    error('kelvo:badProfile', ['KELVO: profile.coils = %d describes magnitude data; set ' ...
          'profile.noiseDistribution = ''rician'' with it'], coils);
end
end

function name = distributionName(rician)
if rician
    name = 'rician';
else
    name = 'gaussian';
end
end

function t = ifText(cond, text)
if cond
    t = text;
else
    t = '';
end
end

function c = isCorrelated(psd)
% A PSD that is not flat describes correlated noise (a constant PSD is white noise), by the
% test of the C++ library.
c = ~isempty(psd) && max(psd(:)) - min(psd(:)) > 1e-6 * max(psd(:));
end

function pro = resolveProfile(profile, volumetric, correlated)
% Completes a user profile: unknown fields are errors, missing ones take the defaults, and an
% 'auto' profile on a 2-D image or under correlated noise swaps every unchanged default of a
% volume under white noise for the default of that input.
if ~isstruct(profile) || ~isscalar(profile)
    error('kelvo:badProfile', ['KELVO: profile must be a struct from KELVOProfile; got %s. ' ...
          'Start from pro = KELVOProfile() and change its fields'], class(profile));
end
kind = 'auto';
if isfield(profile, 'kind')
    kind = profile.kind;
end
if ~ischar(kind) || ~any(strcmp(kind, {'auto', 'volume', 'image', 'colour'}))
    error('kelvo:badProfile', ['KELVO: profile.kind must be ''auto'', ''volume'', ' ...
          '''image'' or ''colour''; got %s'], describeValue(kind));
end
volDefaults = KELVOProfile('volume');
auto = any(strcmp(kind, {'auto', 'colour'}));
if auto
    noise = 'white';
    if correlated
        noise = 'correlated';
    end
    if volumetric
        base = KELVOProfile('volume', noise);
    else
        base = KELVOProfile('image', noise);
    end
elseif strcmp(kind, 'image')
    base = KELVOProfile('image');
else
    base = volDefaults;
end
pro = mergeFields(base, profile, volDefaults, auto && (~volumetric || correlated), '');
checkProfile(pro);
end

function out = mergeFields(base, user, volDefaults, swapUnchanged, prefix)
out = base;
names = fieldnames(user);
for k = 1:numel(names)
    f = names{k};
    if ~isfield(base, f)
        error('kelvo:badProfile', 'KELVO: unknown profile field ''%s%s''%s', prefix, f, ...
              suggestion(f, fieldnames(base), prefix));
    end
    if isstruct(base.(f))
        if ~isstruct(user.(f)) || ~isscalar(user.(f))
            error('kelvo:badProfile', ['KELVO: profile field ''%s%s'' must be a struct ' ...
                  'like KELVOProfile().%s%s; got %s'], prefix, f, prefix, f, class(user.(f)));
        end
        out.(f) = mergeFields(base.(f), user.(f), volDefaults.(f), swapUnchanged, ...
                              [prefix f '.']);
    elseif any(strcmp(f, {'kind', 'noiseDistribution', 'mask'}))
        out.(f) = user.(f);
    elseif ~(swapUnchanged && isequal(user.(f), volDefaults.(f)))
        out.(f) = user.(f);
    end
end
end

function text = suggestion(name, known, prefix)
% "; did you mean 'splitComp'?" for a field that differs from a known one by its case or by
% at most two edits, else the list of the known fields.
best = '';
bestCost = 3;
for k = 1:numel(known)
    if strcmpi(name, known{k})
        cost = 0;
    else
        cost = editDistance(lower(name), lower(known{k}));
    end
    if cost < bestCost
        best = known{k};
        bestCost = cost;
    end
end
if ~isempty(best)
    text = sprintf('; did you mean ''%s%s''?', prefix, best);
else
    text = sprintf('; the fields here are %s', strjoin(known', ', '));
end
end

function d = editDistance(a, b)
% Levenshtein distance between two short strings.
prev = 0:numel(b);
for i = 1:numel(a)
    cur = [i, zeros(1, numel(b))];
    for j = 1:numel(b)
        cur(j + 1) = min([prev(j + 1) + 1, cur(j) + 1, prev(j) + (a(i) ~= b(j))]);
    end
    prev = cur;
end
d = prev(end);
end

function checkProfile(pro)
% Every field, before anything runs: the plug-in's own argument checks must never be what a
% KELVO user sees.
checkStage(pro.hardThreshold, 'hardThreshold');
checkStage(pro.wiener, 'wiener');
fft = checkNumber(pro.fftSize, 'fftSize', 3, true, '[8 8 8]');
for d = 1:3
    if ~(any(fft(d) == [4 8 16 32 64]) || (d > 1 && fft(d) == 1))
        badValue('fftSize', fft, ['4, 8, 16, 32 or 64 in every dimension (1 is allowed in ' ...
                 'dimensions 2 and 3), e.g. [8 8 8] for volumes or [32 32 1] for images']);
    end
end
for st = {'hardThreshold', 'wiener'}
    block = double(pro.(st{1}).blockSize(:)');
    if any(fft < block)
        badValue('fftSize', fft, sprintf(['at least the block size %s of ' ...
                 'profile.%s.blockSize in every dimension'], mat2str(block), st{1}));
    end
end
v = checkNumber(pro.varianceLimit, 'varianceLimit', 1, true, 'a whole number');
if v < 0
    badValue('varianceLimit', v, 'a count >= 0');
end
checkNumber(pro.splitComp, 'splitComp', 3, false, '[false false true]');
v = checkNumber(pro.matchNoiseWeight, 'matchNoiseWeight', 1, false, 'a number');
if v < 0
    badValue('matchNoiseWeight', v, 'a weight >= 0 (0 disables it)');
end
checkNumber(pro.sharpen, 'sharpen', 1, true, 'true or false');
checkNumber(pro.multiscale, 'multiscale', 1, true, 'true or false');
v = pro.coarseNoiseRatio;
if ~isnumeric(v) || ~isreal(v) || ~isscalar(v) || isnan(v) || v < 0
    error('kelvo:badProfile', ['KELVO: profile field ''coarseNoiseRatio'' must be one real ' ...
          'number >= 0 or Inf, such as 0.5; got %s'], describeValue(v));
end
checkNumber(pro.adaptiveWiener, 'adaptiveWiener', 1, true, 'true or false');
checkRefinement(pro.refinement);
checkNumber(pro.sharpenVariance, 'sharpenVariance', 1, true, 'true or false');
for f = {'sharpenAlpha', 'sharpenAlphaFirstSlice'}
    v = checkNumber(pro.(f{1}), f{1}, 1, false, 'a number');
    if v <= 0
        badValue(f{1}, v, 'an exponent > 0');
    end
end
v = checkNumber(pro.numThreads, 'numThreads', 1, true, 'a whole number');
if v > 1024
    badValue('numThreads', v, 'at most 1024 (0 uses every core)');
end
checkNumber(pro.coils, 'coils', 1, true, 'a whole number');
end

function checkRefinement(r)
if ~isstruct(r) || ~isscalar(r) || ~all(isfield(r, {'enabled', 'blockSize', 'stepSize', ...
                                                    'searchRadius', 'groupSize'}))
    error('kelvo:badProfile', ['KELVO: profile field ''refinement'' must be a struct like ' ...
          'KELVOProfile().refinement']);
end
checkNumber(r.enabled, 'refinement.enabled', 1, true, 'true or false');
block = checkNumber(r.blockSize, 'refinement.blockSize', 3, true, '[3 3 3]');
if any(block < 1 | block > 16)
    badValue('refinement.blockSize', block, ['1 to 16 samples per dimension, e.g. ' ...
             '[3 3 2] (volumes) or [8 8 1] (images)']);
end
step = checkNumber(r.stepSize, 'refinement.stepSize', 3, true, '[3 3 3]');
if any(step < 1 | step > 64)
    badValue('refinement.stepSize', step, 'steps from 1 to 64');
end
radius = checkNumber(r.searchRadius, 'refinement.searchRadius', 3, true, '[2 2 2]');
if any(radius < 0 | radius > 64)
    badValue('refinement.searchRadius', radius, 'radii from 0 to 64');
end
group = checkNumber(r.groupSize, 'refinement.groupSize', 1, true, 'a whole number');
if group < 2 || group > 64
    badValue('refinement.groupSize', group, '2 to 64 blocks');
end
end

function checkStage(st, name)
block = checkNumber(st.blockSize, [name '.blockSize'], 3, true, '[4 4 4]');
if any(block < 1 | block > 16)
    badValue([name '.blockSize'], block, ['1 to 16 samples per dimension, e.g. [4 4 4] ' ...
             '(volumes) or [8 8 1] (images)']);
end
step = checkNumber(st.stepSize, [name '.stepSize'], 3, true, '[3 3 3]');
if any(step < 1)
    badValue([name '.stepSize'], step, 'steps >= 1 (and at most the block size)');
end
radius = checkNumber(st.searchRadius, [name '.searchRadius'], 3, true, '[4 4 4]');
if any(radius < 0)
    badValue([name '.searchRadius'], radius, 'radii >= 0');
end
g = checkNumber(st.maxGroupSize, [name '.maxGroupSize'], 1, true, 'a whole number');
if g < 1 || g > 64
    badValue([name '.maxGroupSize'], g, 'a group size from 1 to 64');
end
g = checkNumber(st.minGroupSize, [name '.minGroupSize'], 1, true, 'a whole number');
if g < 1 || g > 64 || bitand(g, g - 1) ~= 0
    badValue([name '.minGroupSize'], g, ['a power of two from 1 to 64 (2 adds only the ' ...
             'nearest block beyond the match threshold)']);
end
for f = {'threshold', 'matchThreshold'}
    v = checkNumber(st.(f{1}), [name '.' f{1}], 1, false, 'a number');
    if v < 0
        badValue([name '.' f{1}], v, 'a value >= 0');
    end
end
end

function pro = fitVolume(pro, volSize)
% A step larger than the block would leave samples unfiltered (except along a dimension one
% sample thick, where there is one block position whatever the step): name the field to
% change. Along a dimension of two or more samples that is thinner than a stage's blocks (a
% stack of two or three slices) the blocks shrink to the volume, as kelvo::denoise does; a
% dimension of one sample thinner than the blocks is refused.
for st = {'hardThreshold', 'wiener'}
    block = double(pro.(st{1}).blockSize(:)');
    step = double(pro.(st{1}).stepSize(:)');
    if any(step > block & volSize > 1)
        badValue([st{1} '.stepSize'], step, sprintf(['steps from 1 to the block size %s ' ...
                 'in every dimension (a larger step leaves samples unfiltered)'], ...
                 mat2str(block)));
    end
    d = find(block > volSize & volSize < 2, 1);
    if ~isempty(d)
        error('kelvo:volumeTooSmall', ['KELVO: each volume of z (size %s) is one sample ' ...
              'thick along dimension %d, thinner than the block of profile field ' ...
              '''%s.blockSize'' %s; pass a volume of at least 2 samples there, or a profile ' ...
              'for its shape (KELVOProfile(''image'') for a 2-D image)'], mat2str(volSize), d, ...
              st{1}, mat2str(block));
    end
    thin = block > volSize;
    block(thin) = volSize(thin);
    step(thin) = min(step(thin), block(thin));
    pro.(st{1}).blockSize = block;
    pro.(st{1}).stepSize = step;
end
block = double(pro.refinement.blockSize(:)');
thin = block > volSize & volSize >= 2;
block(thin) = volSize(thin);
pro.refinement.blockSize = block;
end

function v = checkNumber(v, name, n, integral, example)
if ~(isnumeric(v) || islogical(v)) || ~isreal(v) || numel(v) ~= n || ...
   any(~isfinite(double(v(:))))
    if n == 1
        what = 'one finite real number';
    else
        what = sprintf('%d finite real numbers', n);
    end
    error('kelvo:badProfile', 'KELVO: profile field ''%s'' must be %s, such as %s; got %s', ...
          name, what, example, describeValue(v));
end
v = double(v(:)');
if integral && any(v ~= round(v))
    error('kelvo:badProfile', 'KELVO: profile field ''%s'' must hold whole numbers; got %s', ...
          name, mat2str(v));
end
end

function badValue(name, v, expected)
error('kelvo:badProfile', 'KELVO: profile field ''%s'' is %s; pass %s', name, mat2str(v), ...
      expected);
end

function s = describeValue(v)
if ischar(v)
    s = ['''' v ''''];
elseif (isnumeric(v) || islogical(v)) && numel(v) <= 8
    s = mat2str(v);
else
    s = sprintf('%s of size %s', class(v), mat2str(size(v)));
end
end
