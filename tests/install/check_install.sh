#!/bin/sh
# Installs the build into a fresh prefix and runs what was installed.
#   check_install.sh CMAKE BUILD_DIR PREFIX VERSION [PYTHON]
# With PYTHON, also imports the installed module from PREFIX/lib/python3/dist-packages.
set -eu
cmake=$1 build=$2 prefix=$3 version=$4 python=${5:-}

rm -rf "$prefix"
"$cmake" --install "$build" --prefix "$prefix" >/dev/null

out=$("$prefix/bin/morvane-cli" --version)
echo "installed morvane-cli --version: $out"
case "$out" in
  "morvane-cli $version") ;;
  *) echo "expected 'morvane-cli $version'" >&2; exit 1 ;;
esac

if [ -n "$python" ]; then
  # From the prefix, not the build tree: run outside both, with only the prefix on the path.
  where=$(cd / && PYTHONPATH="$prefix/lib/python3/dist-packages" "$python" -c \
    'import morvane; print(morvane.__file__)')
  echo "imported: $where"
  case "$where" in
    "$prefix"/lib/python3/dist-packages/morvane*) ;;
    *) echo "the module did not come from $prefix/lib/python3/dist-packages" >&2; exit 1 ;;
  esac
fi
