# Sourced by the build scripts. `generatorArgs DIR` prints, one per line, the -G arguments to
# configure the build folder DIR with: the generator DIR was configured with before (CMake
# refuses to switch generators in an existing folder, whichever command created it), or
# Ninja for a new folder when it is installed, or nothing (CMake's default) otherwise.
generatorArgs() {
  local cache="$1/CMakeCache.txt" g=""
  if [ -f "$cache" ]; then
    g=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$cache")
  elif command -v ninja >/dev/null 2>&1; then
    g=Ninja
  fi
  if [ -n "$g" ]; then printf '%s\n%s\n' -G "$g"; fi
}
