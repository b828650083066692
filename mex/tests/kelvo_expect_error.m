function kelvo_expect_error(what, id, varargin)
%KELVO_EXPECT_ERROR Calls kelvomex(varargin{:}) and checks that it raises an error whose
%   identifier is id (or, when id ends in ':', starts with it). Prints the message so that
%   the test log shows what the user would see.
try
    kelvomex(varargin{:});
catch err
    ok = strcmp(err.identifier, id) || (id(end) == ':' && strncmp(err.identifier, id, numel(id)));
    if ~ok
        error('kelvo_test:wrongError', 'FAILED %s: expected %s, got %s (%s)', what, id, ...
              err.identifier, err.message);
    end
    fprintf('  ok %-40s %s: %s\n', what, err.identifier, strrep(err.message, sprintf('\n'), ' '));
    return;
end
error('kelvo_test:noError', 'FAILED %s: no error raised, expected %s', what, id);
end
