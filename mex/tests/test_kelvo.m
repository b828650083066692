function test_kelvo()
%TEST_KELVO The host function KELVO: its own argument and profile checks (identifiers and
%   the argument or field each error names), series of volumes, 'auto' noise, samples without
%   data, masks and magnitude (Rician) data.
seed = 4711;
fprintf('test_kelvo: seed %d\n', seed);
randn('state', seed);
sigma = 0.05;
x = phantom(32, 32, 12);
z = single(x + sigma * randn(size(x)));

% ---- errors in KELVO's own terms: {what, call, identifier, texts the message must hold}
pro = KELVOProfile(); pro.splitcomp = [false false true];
proNested = KELVOProfile(); proNested.wiener.blocksize = [4 4 4];
proSize = KELVOProfile(); proSize.fftSize = [8 8];
proBlock = KELVOProfile(); proBlock.hardThreshold.blockSize = [17 4 4];
proStep = KELVOProfile(); proStep.wiener.stepSize = [5 3 3];
proFft = KELVOProfile('image'); proFft.fftSize = [4 4 1];
proDist = KELVOProfile(); proDist.noiseDistribution = 'rice';
proCoils = KELVOProfile(); proCoils.noiseDistribution = 'rician'; proCoils.coils = 0;
proMask = KELVOProfile(); proMask.mask = true(12, 32, 32);
proEmpty = KELVOProfile(); proEmpty.mask = false(size(z));
cases = {
    'volume one sample thick', @() KELVO(z(1, :, :), sigma), 'kelvo:volumeTooSmall', ...
        {'hardThreshold.blockSize', '[4 4 4]', '[1 32 12]', 'dimension 1'}
    'misspelt field', @() KELVO(z, sigma, pro), 'kelvo:badProfile', ...
        {'''splitcomp''', 'did you mean ''splitComp'''}
    'misspelt nested field', @() KELVO(z, sigma, proNested), 'kelvo:badProfile', ...
        {'wiener.blocksize', 'wiener.blockSize'}
    'field of the wrong size', @() KELVO(z, sigma, proSize), 'kelvo:badProfile', ...
        {'''fftSize''', '3 finite', '[8 8]'}
    'block larger than 16', @() KELVO(z, sigma, proBlock), 'kelvo:badProfile', ...
        {'hardThreshold.blockSize', '[17 4 4]', '1 to 16'}
    'step larger than the block', @() KELVO(z, sigma, proStep), 'kelvo:badProfile', ...
        {'wiener.stepSize', '[5 3 3]'}
    'FFT grid smaller than the block', @() KELVO(z(:, :, 1), sigma, proFft), ...
        'kelvo:badProfile', {'fftSize', 'blockSize'}
    'negative sigma', @() KELVO(z, -sigma), 'kelvo:badNoise', {'sigma_psd', '-0.05', '''auto'''}
    'unknown noise text', @() KELVO(z, 'estimate'), 'kelvo:badNoise', {'''auto'''}
    'auto without informative samples', @() KELVO(round(z), 'auto'), 'kelvo:badNoise', ...
        {'''auto''', 'noise level'}
    'PSD in reversed axes', @() KELVO(z, ones(12, 32, 32)), 'kelvo:badNoise', ...
        {'[12 32 32]', '[32 32 12]', 'permute'}
    'unknown distribution', @() KELVO(z, sigma, proDist), 'kelvo:badProfile', ...
        {'noiseDistribution', '''rice'''}
    'zero coils', @() KELVO(z, sigma, proCoils), 'kelvo:badProfile', {'coils'}
    'mask of another size', @() KELVO(z, sigma, proMask), 'kelvo:badProfile', ...
        {'profile.mask', '[12 32 32]', '[32 32 12]'}
    'mask that selects nothing', @() KELVO(z, sigma, proEmpty), 'kelvo:noData', {'mask'}
    '5-D input', @() KELVO(ones(8, 8, 4, 2, 2), sigma), 'kelvo:badInput', {'z'}
    'profile kind', @() KELVOProfile('volumes'), 'kelvo:badProfile', {'''volumes'''}
    'profile noise', @() KELVOProfile('volume', 'pink'), 'kelvo:badProfile', {'''pink'''}
};
for k = 1:size(cases, 1)
    expectError(cases{k, :});
end

% ---- a series of volumes: volume by volume, with one 'auto' estimate per volume
series = cat(4, z, single(x + 4 * sigma * randn(size(x))));
pro = KELVOProfile(); pro.numThreads = 1;
y = KELVO(double(series), 'auto', pro);
assert(isa(y, 'double') && isequal(size(y), size(series)), 'FAILED series output');
for t = 1:2
    assert(isequal(y(:, :, :, t), KELVO(double(series(:, :, :, t)), 'auto', pro)), ...
           'FAILED series volume %d differs from its own call', t);
end
[~, mHT, mWie] = KELVO(series, sigma, pro);
assert(numel(mHT) == 2 && numel(mWie) == 2, 'FAILED one record per volume');

% ---- data far from unit scale: samples and sigma times 2^k give 2^k times the estimate (the
% engine's absolute floors and squares of large samples must not show)
y1 = KELVO(z, sigma, pro);
assert(isequal(KELVO(z * 2^-30, sigma * 2^-30, pro) * 2^30, y1), 'FAILED small-scale data');
assert(isequal(KELVO(z * 2^60, sigma * 2^60, pro) * 2^-60, y1), 'FAILED large-scale data');

% ---- correlated noise: the defaults of the C++ library, as the command-line tool runs them
correlatedDefaults(x, seed);
% ---- images under white noise take the binned copy too, as in the C++ library, and so do
% volumes whose white noise is large against the data
[r, c] = ndgrid(1:48, 1:40);
twoScales('image', 0.3 + 0.4 * exp(-((r - 24).^2 + (c - 20).^2) / 80) + 0.2 * sin(r / 7), ...
          seed + 2, @(p) setfield(p, 'multiscale', false));
[r, c, s] = ndgrid(1:24, 1:24, 1:16);
dim = 0.3 + 0.1 * ((r - 12).^2 + (c - 11).^2 + (s - 8).^2 < 40) + 0.04 * sin(r / 5);
twoScales('dim volume', dim, seed + 4, @(p) setfield(p, 'coarseNoiseRatio', Inf));
bad = KELVOProfile();
bad.coarseNoiseRatio = -1;
expectError('a negative coarseNoiseRatio', @() KELVO(single(dim), 0.1, bad), ...
            'kelvo:badProfile', {'coarseNoiseRatio', 'Inf'});
% ---- smallest groups larger than small search windows hold, as in the C++ library
smallVolumeFloors(seed);
% ---- stacks thinner than the blocks: the blocks shrink to them, as in the C++ library
thinStacks(x, seed);
% ---- a colour image: its channels decorrelated, each denoised as an image
colourImage(seed);

% ---- 'auto' and samples without data
sigmaHat = kelvonoise('estimate', z, [], 'gaussian', 1);
fprintf('  auto: estimate %.4f for sigma %.4f\n', sigmaHat, sigma);
assert(abs(sigmaHat / sigma - 1) < 0.1, 'FAILED auto estimate');
assert(isequal(KELVO(z, 'auto', pro), KELVO(z, sigmaHat, pro)), 'FAILED auto = its estimate');
holed = z;
holed(1:8, :, :) = NaN;
holed(20, 20, 6) = Inf;
holed(25, 10, 3) = -Inf;
y = KELVO(holed, sigma, pro);
bad = ~isfinite(holed);
assert(isequal(isnan(y), isnan(holed)) && isequal(y(isinf(holed)), holed(isinf(holed))), ...
       'FAILED NaN and Inf do not come back where they were');
assert(all(isfinite(y(~bad))), 'FAILED samples with data became non-finite');
ref = KELVO(z(9:end, :, :), sigma, pro);
inside = ~bad(9:end, :, :);
yi = y(9:end, :, :);
xi = x(9:end, :, :);
fprintf('  NaN background: RMSE %.4f, the same data without it %.4f\n', ...
        rmse(yi(inside), xi(inside)), rmse(ref(inside), xi(inside)));
assert(rmse(yi(inside), xi(inside)) < 1.5 * rmse(ref(inside), xi(inside)), ...
       'FAILED the data next to a NaN background is denoised worse');

% ---- a mask: outside copied unchanged, left out of 'auto'
noisyOut = z;
outside = true(size(z));
outside(5:28, 5:28, :) = false;
noisyOut(outside) = single(x(outside) + 6 * sigma * randn(nnz(outside), 1));
pro.mask = ~outside;
y = KELVO(noisyOut, 'auto', pro);
assert(isequal(y(outside), noisyOut(outside)), 'FAILED samples outside the mask changed');
zd = double(noisyOut);
zd(outside) = zd(outside) + pi * 1e-9;  % not representable in single
yd = KELVO(zd, 'auto', pro);
assert(isequal(yd(outside), zd(outside)), 'FAILED double samples outside the mask rounded');
assert(rmse(y(~outside), x(~outside)) < sigma / 2, 'FAILED masked denoising');
est = kelvonoise('estimate', noisyOut, ~outside, 'gaussian', 1);
assert(abs(est / sigma - 1) < 0.15, 'FAILED masked estimate %.4f', est);

% ---- magnitude data: the Rician bias of the background is removed
s = 0.08;
clean = zeros(40, 40, 16);
clean(10:30, 10:30, 4:12) = 1;
m = single(abs(clean + s * randn(size(clean)) + 1i * s * randn(size(clean))));
pro = KELVOProfile(); pro.numThreads = 1;
g = KELVO(m, s, pro);
pro.noiseDistribution = 'rician';
r = KELVO(m, s, pro);
sHat = kelvonoise('estimate', m, [], 'rician', 1);
assert(isequal(KELVO(m, 'auto', pro), KELVO(m, sHat, pro)), 'FAILED Rician auto');
back = clean == 0;
fprintf('  rician: background mean %.3f sigma (gaussian model %.3f sigma)\n', ...
        mean(r(back)) / s, mean(g(back)) / s);
assert(abs(mean(r(back))) < 0.25 * s && mean(g(back)) > s, 'FAILED Rician background bias');
assert(rmse(r, clean) < 0.7 * rmse(g, clean), 'FAILED Rician denoising');
fprintf('test_kelvo: passed\n');
end

function expectError(what, call, id, texts)
try
    call();
catch err
    assert(strcmp(err.identifier, id), 'FAILED %s: expected %s, got %s (%s)', what, id, ...
           err.identifier, err.message);
    for k = 1:numel(texts)
        assert(~isempty(strfind(err.message, texts{k})), ...
               'FAILED %s: the message does not name %s: %s', what, texts{k}, err.message);
    end
    % KELVO's errors never mention the plug-in's positional arguments.
    assert(isempty(regexp(err.message, 'argument \d', 'once')), ...
           'FAILED %s: the message names a plug-in argument: %s', what, err.message);
    fprintf('  ok %-32s %s: %s\n', what, err.identifier, err.message);
    return;
end
error('kelvo_test:noError', 'FAILED %s: no error raised, expected %s', what, id);
end

function correlatedDefaults(x, seed)
% With a PSD that is not flat and no profile (or an unchanged 'auto' one), KELVO uses the
% correlated-noise defaults (6x6x6 hard-thresholding blocks at step 4 on a volume), the same ones the C++
% library and the command-line tool choose: their results agree.
randn('state', seed + 1);
w = randn(size(x));
n = zeros(size(x));
for s = -1:1
    for t = -1:1
        for u = -1:1
            n = n + circshift(w, [s t u]) / 27;
        end
    end
end
z = single(x + 0.1 / std(n(:)) * n);
% E|fftn(noise)|^2 of the box-filtered noise on an 8x8x8 grid.
h = zeros(8, 8, 8);
h([1 2 8], [1 2 8], [1 2 8]) = 1 / 27;
psd = single((0.1 / std(n(:)))^2 * 512 * abs(fftn(h)).^2);
pro = KELVOProfile();
pro.numThreads = 1;
[y, mHT] = KELVO(z, psd, pro);
white = KELVOProfile('volume');
white.numThreads = 1;
yWhite = KELVO(z, psd, white);
% The record of 6x6x6 blocks at step 4 on 32x32x12 numbers size / step + 1 grid indices per
% dimension: 9 x 9 x 4.
assert(numel(mHT.groupSizes) == 9 * 9 * 4, 'FAILED correlated defaults not chosen (%d groups)', ...
       numel(mHT.groupSizes));
fprintf('  correlated: RMSE %.4f (white-noise defaults %.4f)\n', rmse(y, x), rmse(yWhite, x));
assert(max(abs(yWhite(:) - y(:))) > 1e-2, 'FAILED the white-noise defaults give the same');
agreesWithTool('correlated', z, y, psd);
end

function twoScales(what, x, seed, oneScale)
% Data under white noise that takes the binned copy (a smooth image; a volume whose data
% varies less than the noise, by the defaults' coarseNoiseRatio): the copy changes the
% estimate against the profile `oneScale` makes without it, and KELVO's result is the C++
% library's.
randn('state', seed);
z = single(x + 0.1 * randn(size(x)));
pro = KELVOProfile();
pro.numThreads = 1;
y = KELVO(z, 0.1, pro);
yOne = KELVO(z, 0.1, oneScale(pro));
fprintf('  %s, white noise: RMSE %.4f with the binned copy, %.4f without\n', what, ...
        rmse(y, x), rmse(yOne, x));
assert(max(abs(yOne(:) - y(:))) > 1e-3, 'FAILED the binned copy was not used (%s)', what);
agreesWithTool([what ', white noise'], z, y, 0.1);
end

function smallVolumeFloors(seed)
% Smallest groups above what a small volume's search windows hold (7 candidates for the 4x4x4
% blocks, 26 for the 3x3x3 ones of a 5x5x5 volume) are lowered to a power of two they hold,
% as in the C++ library: a group of 27 would have no group transform.
randn('state', seed + 3);
z = single(0.5 + 0.1 * randn(5, 5, 5));
pro = KELVOProfile();
pro.numThreads = 1;
pro.hardThreshold.minGroupSize = 16;
pro.wiener.minGroupSize = 32;
y = KELVO(z, 0.1, pro);
agreesWithTool('small volume, large floors', z, y, 0.1, '--min-group 16,32');
end

function colourImage(seed)
% An H x W x 3 image under white noise whose channels share their structure: decorrelated
% and each denoised as an image, it beats each channel denoised alone; channels that share
% none stay unmixed; both as the C++ library denoises them.
randn('state', seed + 6);
[r, c] = ndgrid(1:48, 1:56);
disc = double((r - 22).^2 + (c - 30).^2 < 200);
bar = double(abs(c - 12) < 4);
clean = cat(3, 0.9 * disc + 0.1 * bar, 0.7 * disc + 0.2 * bar + 0.1, 0.5 * disc + 0.1 * bar + 0.3);
z = single(clean + 0.1 * randn(size(clean)));
pro = KELVOProfile('colour');
pro.numThreads = 1;
y = KELVO(z, 0.1, pro);
image = KELVOProfile('image');
image.numThreads = 1;
each = zeros(size(z), 'single');
for k = 1:3
    each(:, :, k) = KELVO(z(:, :, k), 0.1, image);
end
assert(isa(y, 'single') && rmse(y, clean) < 0.85 * rmse(each, clean), ...
       'FAILED colour: RMSE %.4f, each channel alone %.4f', rmse(y, clean), rmse(each, clean));
agreesWithTool('a colour image', z, y, 0.1, '--channels last');
% Channels that share no structure are denoised each on its own, as in the C++ library.
unrelated = single(cat(3, disc, bar, c / 56) + 0.1 * randn(size(clean)));
agreesWithTool('unrelated channels', unrelated, KELVO(unrelated, 0.1, pro), 0.1, ...
               '--channels last');
holes = z;
holes(5, 7, 2) = NaN;
y = KELVO(holes, [0.1 0.1 0.1], pro);
assert(isequaln(y(5, 7, :), holes(5, 7, :)) && all(isfinite(y(:)) | isnan(holes(:))), ...
       'FAILED colour: a pixel with a NaN channel must come back unchanged');
expectError('colour with 2 sigmas for 3 channels', @() KELVO(z, [0.1 0.1], pro), ...
            'kelvo:badNoise', {'2 values', '3 channels'});
expectError('colour with match records', @() twoOutputs(z, pro), 'kelvo:nargin', ...
            {'match records'});
expectError('colour of a 4-D array', @() KELVO(cat(4, z, z), 0.1, pro), 'kelvo:badInput', ...
            {'H x W x C'});
end

function twoOutputs(z, pro)
[~, ~] = KELVO(z, 0.1, pro);
end

function thinStacks(x, seed)
% Two or three slices (and a volume three samples wide) are denoised with blocks that fit
% them, and the result is the C++ library's.
randn('state', seed + 5);
pro = KELVOProfile();
pro.numThreads = 1;
for part = {{':', ':', 1:2}, {':', ':', 4:6}, {1:3, ':', ':'}}
    clean = x(part{1}{:});
    z = single(clean + 0.1 * randn(size(clean)));
    y = KELVO(z, 0.1, pro);
    assert(rmse(y, clean) < 0.6 * rmse(z, clean), 'FAILED %s: RMSE %.4f of %.4f', ...
           mat2str(size(z)), rmse(y, clean), rmse(z, clean));
    agreesWithTool(sprintf('a stack of %s', mat2str(size(z))), z, y, 0.1);
end
end

function agreesWithTool(what, z, y, noise, options)
% The command-line tool (the C++ library) on the same input, with the given options, gives y,
% to rounding.
if nargin < 5
    options = '';
end
tool = fullfile(fileparts(which('kelvomex')), '..', 'cli', 'kelvo');
if ~exist(tool, 'file')
    fprintf('  %s: %s not built, the comparison with the tool is skipped\n', what, tool);
    return;
end
dir = tempname();
mkdir(dir);
cleanup = onCleanup(@() removeDir(dir));
writeNpy(fullfile(dir, 'z.npy'), z);
if isscalar(noise)
    noiseOption = sprintf('--sigma %.17g', noise);
else
    writeNpy(fullfile(dir, 'psd.npy'), noise);
    noiseOption = sprintf('--psd "%s"', fullfile(dir, 'psd.npy'));
end
[status, text] = system(sprintf('"%s" denoise "%s" "%s" %s %s --threads 1 --quiet', tool, ...
                                fullfile(dir, 'z.npy'), fullfile(dir, 'y.npy'), noiseOption, ...
                                options));
assert(status == 0, 'FAILED the tool: %s', text);
yTool = readNpy(fullfile(dir, 'y.npy'));
fprintf('  %s: KELVO and the tool differ by at most %.2g\n', what, ...
        max(abs(double(yTool(:)) - double(y(:)))));
assert(isequal(size(yTool), size(y)) && max(abs(yTool(:) - y(:))) < 1e-4, ...
       'FAILED KELVO and the tool disagree (%s)', what);
end

function removeDir(dir)
delete(fullfile(dir, '*.npy'));
rmdir(dir);
end

function writeNpy(path, a)
% A float32 .npy file in Fortran order (the samples as Octave stores them).
shape = sprintf('%d, ', size(a));
header = sprintf('{''descr'': ''<f4'', ''fortran_order'': True, ''shape'': (%s), }', ...
                 shape(1:end - 2));
pad = 64 - mod(10 + numel(header) + 1, 64);
header = [header, repmat(' ', 1, mod(pad, 64)), sprintf('\n')];
f = fopen(path, 'w', 'ieee-le');
fwrite(f, [147, double('NUMPY'), 1, 0], 'uint8');
fwrite(f, numel(header), 'uint16');
fwrite(f, header, 'char');
fwrite(f, single(a), 'single');
fclose(f);
end

function a = readNpy(path)
% A float32 .npy file written by the tool (either order).
f = fopen(path, 'r', 'ieee-le');
magic = fread(f, 8, 'uint8')';
assert(isequal(magic(1:6), [147, double('NUMPY')]), 'FAILED %s is not a .npy file', path);
if magic(7) == 1
    len = fread(f, 1, 'uint16');
else
    len = fread(f, 1, 'uint32');
end
header = char(fread(f, len, 'char')');
data = single(fread(f, Inf, 'single=>single'));
fclose(f);
assert(~isempty(strfind(header, '''<f4''')), 'FAILED %s does not hold float32: %s', path, header);
shape = str2num(regexprep(regexp(header, '''shape'': \(([^)]*)\)', 'tokens', 'once'){1}, ...
                          ',\s*$', '')); %#ok<ST2NM>
if ~isempty(strfind(header, '''fortran_order'': True'))
    a = reshape(data, [shape, 1]);
else
    a = permute(reshape(data, [fliplr(shape), 1]), numel(shape):-1:1);
end
end

function e = rmse(a, b)
e = sqrt(mean((double(a(:)) - double(b(:))).^2));
end

function x = phantom(n1, n2, n3)
% Piecewise-constant volume in [0, 1] with edges along every dimension.
x = 0.2 * ones(n1, n2, n3);
x(round(n1 / 4):round(3 * n1 / 4), round(n2 / 5):round(n2 / 2), :) = 0.8;
x(:, round(3 * n2 / 5):end, max(1, round(n3 / 3)):end) = 0.5;
end
