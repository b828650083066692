% Good and bad kelvomex (and kelvonoise) calls for a leak check under valgrind (not a CTest test: too slow).
% KELVO_MEX_DIR names the folder of kelvomex.mex. See README.md for the command.
addpath(getenv('KELVO_MEX_DIR')); addpath(fileparts(mfilename('fullpath')));
rand('state', 7);
z = single(rand(24, 20, 12));
a = kelvo_test_args(z, 0.1); a{19} = int32(0);
[y, r] = kelvomex(a{:});                          % good call, recording
b = a; b{19} = int32(1); b{20} = r; y2 = kelvomex(b{:});   % good replay
for k = 1:3
  try, c = a; c{14} = int32([5 8 8]); kelvomex(c{:}); catch e, disp(e.identifier); end      % engine settings
  try, c = b; c{20}.blockPositions(1) = int32(99); kelvomex(c{:}); catch e, disp(e.identifier); end  % bad record
  try, c = a; c{5} = int32([5 5 5]); kelvomex(c{:}); catch e, disp(e.identifier); end       % missing transform
  try, c = a; c{1} = complex(z, z); kelvomex(c{:}); catch e, disp(e.identifier); end
end
w = kelvo_test_args(z, 0.1, true, y); y3 = kelvomex(w{:});
% The noise helper of KELVO: good calls and failures inside the API.
h = z; h(1:3) = NaN;
s = kelvonoise('estimate', single(rand(40, 40, 8)), [], 'rician', 1); f = kelvonoise('fill', h);
u = kelvonoise('unstabilise', kelvonoise('stabilise', z, 0.1, 2), 0.1, 2);
for k = 1:3
  try, kelvonoise('estimate', ones(40, 40, 8, 'single'), [], 'gaussian', 1); catch e, disp(e.identifier); end
  try, kelvonoise('stabilise', z, -1, 1); catch e, disp(e.identifier); end
end
disp('valgrind script done');
